// The base error of the whole system: an error that carries one message text.
// Every unit derives its own class from it and adds nothing.
#pragma once
#include <exception>
#include <string>

class Exception : public std::exception {
public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
};

// Raised by the file stream when a file cannot be opened or created.
class EFOpenError : public Exception {
public:
  using Exception::Exception;
};
class EFCreateError : public Exception {
public:
  using Exception::Exception;
};
