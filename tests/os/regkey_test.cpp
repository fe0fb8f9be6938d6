// OS::CRegKey over a .reg registry file: what opens, what reads, and files that are missing or
// malformed (no key opens, so callers keep their defaults).
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "os/os_regkey.h"
#include "support/test_support.h"

#if !defined(_WIN32)

namespace fs = std::filesystem;

namespace {

constexpr char16_t kKey[] = u"SOFTWARE\\Velmora\\Corvane\\CurrentVersion";

class RegFile : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = m_dir.File("registry.reg");
    setenv("MAILHOOK_REGISTRY", m_path.c_str(), 1);
  }
  void TearDown() override { unsetenv("MAILHOOK_REGISTRY"); }
  void Write(const std::string& text) { std::ofstream(m_path, std::ios::binary) << text; }

  mhtest::TempDir m_dir;
  fs::path m_path;
};

const std::string kHead = "Windows Registry Editor Version 5.00\r\n\r\n";

}  // namespace

TEST_F(RegFile, OpensKeysAndReadsDwordsIgnoringCase) {
  Write(kHead +
        "; exported settings\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvane\\CurrentVersion]\r\n"
        "\"MaxAllowedMemMapFileSize\"=dword:00f00000\r\n"
        "\"Blob\"=hex:01,02,03,\\\r\n"
        "  04,05\r\n"
        "\"Name\"=\"a \\\"quoted\\\" text\"\r\n"
        "\"Later\"=dword:1\r\n"
        "\r\n"
        "[hkey_local_machine\\software\\velmora\\corvane\\currentversion]\r\n"
        "\"later\"=dword:FFFFFFFF\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n"
        "\"Stale\"=dword:00000001\r\n");
  OS::CRegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, u"software\\VELMORA\\Corvane\\CurrentVersion\\", KEY_READ), 0);
  DWORD value = 7;
  EXPECT_EQ(key.QueryValue(value, u"maxallowedmemmapfilesize"), 0);
  EXPECT_EQ(value, 0xF00000u);
  EXPECT_EQ(key.QueryValue(value, u"Later"), 0);  // the later listing wins
  EXPECT_EQ(value, 0xFFFFFFFFu);
  value = 7;
  EXPECT_NE(key.QueryValue(value, u"Name"), 0);  // not a DWORD
  EXPECT_NE(key.QueryValue(value, u"Blob"), 0);
  EXPECT_NE(key.QueryValue(value, u"Missing"), 0);
  EXPECT_EQ(value, 7u);

  // A listed subkey implies its parents; other roots and other keys do not open.
  OS::CRegKey parent;
  EXPECT_EQ(parent.Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmora", KEY_READ), 0);
  EXPECT_NE(parent.QueryValue(value, u"MaxAllowedMemMapFileSize"), 0);
  OS::CRegKey other;
  EXPECT_NE(other.Open(HKEY_CURRENT_USER, kKey, KEY_READ), 0);
  EXPECT_NE(other.Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmora\\Corv", KEY_READ), 0);
  EXPECT_NE(other.Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Gone", KEY_READ), 0);
  EXPECT_NE(other.QueryValue(value, u"MaxAllowedMemMapFileSize"), 0);  // nothing open

  EXPECT_EQ(key.Close(), 0);
  EXPECT_NE(key.QueryValue(value, u"MaxAllowedMemMapFileSize"), 0);
}

TEST_F(RegFile, Utf16ExportWithByteOrderMark) {
  const std::string text = kHead + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvane\\CurrentVersion]\r\n" +
                           "\"MaxAllowedMemMapFileSize\"=dword:02000000\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) utf16 += std::string{c, '\0'};
  Write(utf16);
  OS::CRegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  DWORD value = 0;
  EXPECT_EQ(key.QueryValue(value, u"MaxAllowedMemMapFileSize"), 0);
  EXPECT_EQ(value, 0x2000000u);
}

TEST_F(RegFile, MissingOrMalformedFilesOpenNoKey) {
  const std::string section = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvane\\CurrentVersion]\r\n";
  const std::string good = "\"MaxAllowedMemMapFileSize\"=dword:00100000\r\n";
  const std::string cases[] = {
      section + good,                                                        // no signature line
      "REGEDIT4\r\n" + section + good,                                       // another format
      kHead + section + "\"MaxAllowedMemMapFileSize\"=dword:xyz\r\n",        // not hex
      kHead + section + "\"MaxAllowedMemMapFileSize\"=dword:100000000\r\n",  // nine digits
      kHead + section + "\"MaxAllowedMemMapFileSize\"=dword:\r\n",
      kHead + good + section,                                             // a value before any key
      kHead + "[HKEY_NOWHERE\\SOFTWARE]\r\n" + section + good,            // unknown root
      kHead + "[HKEY_LOCAL_MACHINE\\SOFTWARE\r\n" + good,                 // unterminated key
      kHead + section + "\"MaxAllowedMemMapFileSize=dword:00100000\r\n",  // unterminated name
      kHead + section + "MaxAllowedMemMapFileSize=dword:00100000\r\n",    // unquoted name
      kHead + section + good + "garbage\r\n",
      std::string("\xFF\xFE\x41", 3),  // odd-length UTF-16
      "\xC3\x28" + kHead,              // invalid UTF-8
      "",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    Write(text);
    OS::CRegKey key;
    EXPECT_NE(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
    DWORD value = 5;
    EXPECT_NE(key.QueryValue(value, u"MaxAllowedMemMapFileSize"), 0);
    EXPECT_EQ(value, 5u);
  }
  fs::remove(m_path);
  OS::CRegKey key;
  EXPECT_NE(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  // A folder where the file should be.
  fs::create_directory(m_path);
  EXPECT_NE(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
}

#endif
