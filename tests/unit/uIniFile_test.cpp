#include "base/uIniFile.h"

#include <gtest/gtest.h>

using namespace logserver;

TEST(IniDocumentTest, ReadsKeysWithTheLineRules) {
  const TIniDocument doc(
      "ignored=before any section\n"
      "  [Common]  \r\n"
      "; Port=1\n"
      "Port = 42 \r\n"
      "Quoted=\"  spaced  \"\n"
      "Lone\n"
      "Equals=a=b\n"
      "Single=\"\n"
      "\tPort=43\n");
  bool found = false;
  EXPECT_EQ(doc.ReadString("common", "PORT", "d", &found), "42");
  EXPECT_TRUE(found);
  EXPECT_EQ(doc.ReadString("Common", "Quoted", "d"), "  spaced  ");
  EXPECT_EQ(doc.ReadString("Common", "Lone", "d", &found), "");
  EXPECT_TRUE(found);
  EXPECT_EQ(doc.ReadString("Common", "Equals", "d"), "a=b");
  EXPECT_EQ(doc.ReadString("Common", "Single", "d"), "\"");
  EXPECT_EQ(doc.ReadString("Common", "ignored", "d", &found), "d");
  EXPECT_FALSE(found);
  EXPECT_EQ(doc.ReadString("Other", "Port", "d"), "d");
}

TEST(IniDocumentTest, FirstMatchingSectionAndKeyWin) {
  const TIniDocument doc("[A]\nk=1\nk=2\n[a]\nk=3\nj=4\n");
  EXPECT_EQ(doc.ReadString("A", "k", ""), "1");
  EXPECT_EQ(doc.ReadString("A", "j", "none"), "none");
}

TEST(IniDocumentTest, ReadSectionListsEntriesInFileOrder) {
  const TIniDocument doc("[Providers]\n; comment\nb|x=1\n\na|y = \"2\"\nbare\n[Next]\nc=3\n");
  const auto entries = doc.ReadSection("providers");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], std::make_pair(std::string("b|x"), std::string("1")));
  EXPECT_EQ(entries[1], std::make_pair(std::string("a|y"), std::string("2")));
  EXPECT_EQ(entries[2], std::make_pair(std::string("bare"), std::string()));
}

TEST(IniDocumentTest, WritingUpdatesInPlaceAndKeepsEverythingElse) {
  TIniDocument doc("; head comment\n[Common]\n; keep me\nRunMode = 7\n\n[Providers]\nx|y|z|=lib\n");
  doc.WriteString("Common", "runmode", "0");
  doc.WriteString("Common", "LogMode", "1");
  EXPECT_EQ(doc.Text(),
            "; head comment\n[Common]\n; keep me\nRunMode=0\nLogMode=1\n\n[Providers]\nx|y|z|=lib\n");
}

TEST(IniDocumentTest, WritingToAMissingSectionAppendsIt) {
  TIniDocument empty;
  empty.WriteString("Common", "A", "1");
  EXPECT_EQ(empty.Text(), "[Common]\nA=1\n");
  TIniDocument other("[Other]\nx=1\n");
  other.WriteString("Common", "A", "1");
  EXPECT_EQ(other.Text(), "[Other]\nx=1\n\n[Common]\nA=1\n");
}

TEST(IniDocumentTest, ValuesThatWouldNotReadBackAreQuoted) {
  TIniDocument doc;
  for (const std::string value : {" lead", "trail\t", "\"quoted\"", "plain", "\"half", ""}) {
    doc.WriteString("S", "k", value);
    EXPECT_EQ(TIniDocument(doc.Text()).ReadString("S", "k", "default"), value) << value;
  }
}

TEST(IniDocumentTest, StripRemovesControlBytesAtBothEnds) {
  EXPECT_EQ(StripControl(std::string("\0 \tx y\r\n", 8)), "x y");
  EXPECT_EQ(StripControl("   "), "");
  EXPECT_TRUE(EqualsNoCase("Common", "cOMMON"));
  EXPECT_FALSE(EqualsNoCase("Common", "Commons"));
}
