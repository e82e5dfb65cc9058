// TrpVersionInfo over real executables: the program's own block, none, a
// block for another language, and keys that only look alike.
#include <gtest/gtest.h>

#include <QPointer>
#include <QVariant>
#include <memory>

#include "ui/about/VersionInfoUnit.h"

TEST(VersionInfo, ReadsTheProgramsBlock) {
  QObject owner;
  const TrpVersionInfo info(&owner, REELWRIGHT_FIX_PATH);
  EXPECT_EQ(info.ProductName(), "Reelwright");
  EXPECT_EQ(info.FileVersion(), REELWRIGHT_VERSION);
  EXPECT_EQ(info.ProductVersion(), REELWRIGHT_VERSION);
  EXPECT_EQ(info.GetVersionString(vtProductName), info.ProductName());
  // The block has "LegalTrademarks", never "LegalTradeMark".
  EXPECT_EQ(info.LegalTradeMark(), "");
  // Keys compare without regard to case: "OriginalFilename" answers.
  EXPECT_FALSE(info.OriginalFileName().isEmpty());
  // Also through the property system, by the names the readers use.
  EXPECT_EQ(info.property("ProductName").toString(), "Reelwright");
}

TEST(VersionInfo, EmptyWithoutABlockOrForAnotherLanguage) {
  QObject owner;
  for (const char* path : {REELWRIGHT_TEST_PROBE_PLAIN, REELWRIGHT_TEST_PROBE_GERMAN, "/nonexistent"}) {
    const TrpVersionInfo info(&owner, path);
    for (int i = 0; i < version_type_count; ++i) {
      EXPECT_EQ(info.GetVersionString(static_cast<TVersionType>(i)), "") << path << " " << i;
    }
  }
}

TEST(VersionInfo, DestroyedWithItsOwner) {
  auto owner = std::make_unique<QObject>();
  QPointer<TrpVersionInfo> info = new TrpVersionInfo(owner.get(), REELWRIGHT_FIX_PATH);
  EXPECT_FALSE(info.isNull());
  owner.reset();
  EXPECT_TRUE(info.isNull());
}
