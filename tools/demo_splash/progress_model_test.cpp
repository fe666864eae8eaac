#include "progress_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "shell/splash_protocol.h"

using namespace demo_splash;

namespace {

// A record as the unpacker lays it out, byte for byte.
std::vector<uint8_t> RawRecord(const std::string& Name, int32_t Read, int32_t Written, uint8_t Percent,
                               char Filler = '\0') {
  std::vector<uint8_t> B(265, static_cast<uint8_t>(Filler));
  B[0] = static_cast<uint8_t>(Name.size());
  std::memcpy(&B[1], Name.data(), Name.size());
  auto Put = [&B](size_t At, int32_t V) {
    uint32_t U;
    std::memcpy(&U, &V, 4);
    for (int I = 0; I < 4; ++I) B[At + I] = static_cast<uint8_t>(U >> (8 * I));
  };
  Put(256, Read);
  Put(260, Written);
  B[264] = Percent;
  return B;
}

ProgressRecord Rec(const std::string& Name, int32_t Read, uint8_t Percent = 0) {
  ProgressRecord R;
  R.FileName = Name;
  R.BytesRead = Read;
  R.BytesWritten = Read * 2;
  R.Percent = Percent;
  return R;
}

}  // namespace

TEST(DecodeProgress, RefusesEverySizeButTheRecordsAndLeavesTheOutputAlone) {
  const std::vector<uint8_t> Big(1000, 0xFF);  // long enough for every size below
  for (size_t Size : {size_t(0), size_t(1), size_t(256), size_t(264), size_t(266), size_t(1000)}) {
    ProgressRecord Out = Rec("keep.me", 7, 9);
    EXPECT_FALSE(DecodeProgress(Big.data(), Size, Out)) << Size;
    EXPECT_EQ(Out.FileName, "keep.me") << Size;
    EXPECT_EQ(Out.BytesRead, 7) << Size;
  }
  ProgressRecord Out;
  EXPECT_FALSE(DecodeProgress(nullptr, 265, Out));
  EXPECT_EQ(sizeof(TSplashProgress), 265u);
}

TEST(DecodeProgress, ReadsTheFieldsAndOnlyTheCountedPartOfTheName) {
  struct Case {
    std::string Name;
    int32_t Read, Written;
    uint8_t Percent;
  } Cases[] = {
      {"setup.exe", 8, 0, 0},
      {"", 0, 0, 0},                                  // empty name
      {std::string(255, 'n'), 32776, 65536, 104},     // longest name, wrapped percent
      {"big.bin", 0x7FFFFFFF, -2, 255},               // extremes of the signed counters
  };
  for (const Case& C : Cases) {
    // Filler stands for the leftovers of an earlier, longer name.
    std::vector<uint8_t> B = RawRecord(C.Name, C.Read, C.Written, C.Percent, 'x');
    ProgressRecord Out;
    ASSERT_TRUE(DecodeProgress(B.data(), B.size(), Out)) << C.Name;
    EXPECT_EQ(Out.FileName, C.Name);
    EXPECT_EQ(Out.BytesRead, C.Read);
    EXPECT_EQ(Out.BytesWritten, C.Written);
    EXPECT_EQ(Out.Percent, C.Percent);
  }
}

TEST(EncodeCountedString, LengthByteThenTextAndRefusesOver255) {
  std::vector<uint8_t> Out;
  ASSERT_TRUE(EncodeCountedString("C:\\Out", Out));
  EXPECT_EQ(Out, (std::vector<uint8_t>{6, 'C', ':', '\\', 'O', 'u', 't'}));
  ASSERT_TRUE(EncodeCountedString("", Out));
  EXPECT_EQ(Out, std::vector<uint8_t>{0});
  ASSERT_TRUE(EncodeCountedString(std::string(255, 'd'), Out));
  EXPECT_EQ(Out.size(), 256u);
  EXPECT_EQ(Out[0], 255);
  EXPECT_FALSE(EncodeCountedString(std::string(256, 'd'), Out));
}

TEST(ProgressModel, TellsFilesApartByNameOrByCountersStartingAgain) {
  ProgressModel M;
  struct Step {
    ProgressRecord R;
    bool NewFile;
    int Seen;
  } Steps[] = {
      {Rec("a.txt", 8), true, 1},
      {Rec("a.txt", 32776), false, 1},
      {Rec("a.txt", 32776), false, 1},  // an output flush: same counters
      {Rec("b.txt", 8), true, 2},       // name changes
      {Rec("b.txt", 32776), false, 2},
      {Rec("b.txt", 8), true, 3},       // same name again, counters restart
      {Rec("c.txt", 40000), true, 4},   // name changes with the counter rising
  };
  for (const Step& S : Steps) {
    EXPECT_EQ(M.Apply(S.R), S.NewFile) << S.R.FileName << " " << S.R.BytesRead;
    EXPECT_EQ(M.FilesSeen(), S.Seen);
  }
  // Rec writes twice what it reads: the last count of each file, summed.
  EXPECT_EQ(M.WrittenTotal(), 2 * (32776 + 32776 + 8 + 40000));
}

TEST(ProgressModel, WithoutPackageTheFileBarIsCappedAndAWrappedPercentNeverLowersIt) {
  ProgressModel M;
  const uint8_t Percents[] = {0, 45, 90, 17 /* 273 % wrapped */, 104 /* 360 % wrapped */, 3};
  int Expected[] = {0, 45, 90, 90, 100, 100};
  for (size_t I = 0; I < std::size(Percents); ++I) {
    M.Apply(Rec("f.bin", 8 + int32_t(I), Percents[I]));
    EXPECT_EQ(M.FilePercent(), Expected[I]) << I;
    EXPECT_DOUBLE_EQ(M.Overall(), Expected[I] / 100.0) << I;
  }
  M.Apply(Rec("g.bin", 8, 12));
  EXPECT_EQ(M.FilePercent(), 12);  // a new file starts from its own value
}

TEST(ProgressModel, WithPackageTheOverallBarFollowsPackedBytesAndNeverFalls) {
  ProgressModel M;
  M.SetPackage({1000, 3000, 0, 6000});  // total 10000; one empty file
  ASSERT_EQ(M.FileCount(), 4);
  struct Step {
    ProgressRecord R;
    double Overall;
  } Steps[] = {
      {Rec("one", 8, 1), 0.0008},
      {Rec("one", 32776, 0), 0.1},      // read-ahead far past the file counts as its end
      {Rec("two", 8, 0), 0.1008},
      {Rec("two", 1500, 50), 0.25},
      {Rec("two", 32776, 0), 0.4},
      {Rec("empty", 8, 0), 0.4},        // packed size 0: nothing to add, no division
      {Rec("four", 3000, 50), 0.7},
      {Rec("four", 32776, 0), 1.0},
  };
  double Before = 0;
  for (const Step& S : Steps) {
    M.Apply(S.R);
    EXPECT_NEAR(M.Overall(), S.Overall, 1e-9) << S.R.FileName << " " << S.R.BytesRead;
    EXPECT_GE(M.Overall(), Before);
    Before = M.Overall();
  }
}

TEST(ProgressModel, MoreFilesThanThePackageListsFallsBackWithoutFalling) {
  ProgressModel M;
  M.SetPackage({100});
  M.Apply(Rec("only", 50));
  EXPECT_NEAR(M.Overall(), 0.5, 1e-9);
  M.Apply(Rec("extra", 8, 10));  // not in the package: the per-file value is used, the bar holds
  EXPECT_NEAR(M.Overall(), 0.5, 1e-9);
  EXPECT_EQ(M.FilePercent(), 10);
}

TEST(ProgressModel, ResultDecidesTheEnd) {
  for (bool Ok : {true, false}) {
    ProgressModel M;
    M.SetPackage({100, 100});
    M.Apply(Rec("a", 100));
    M.Finish(Ok);
    EXPECT_TRUE(M.Finished());
    EXPECT_EQ(M.Succeeded(), Ok);
    // Success fills the bar; a failure leaves it where the extraction stopped.
    EXPECT_NEAR(M.Overall(), Ok ? 1.0 : 0.5, 1e-9);
  }
}
