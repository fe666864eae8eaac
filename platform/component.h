// The component base class: construction with an optional owner (which then
// destroys the component with itself), destruction, and the Loaded
// notification sent after stored properties were read.
#pragma once
#include <vector>

class TComponent {
public:
  explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {
    if (owner_) owner_->children_.push_back(this);
  }
  virtual ~TComponent() {
    // Destroy owned components last-created first; each one unlinks itself.
    while (!children_.empty()) delete children_.back();
    if (owner_) std::erase(owner_->children_, this);
  }
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  virtual void Loaded() {}
  TComponent* Owner() const { return owner_; }

private:
  TComponent* owner_;
  std::vector<TComponent*> children_;
};
