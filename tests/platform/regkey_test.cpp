// OS::CRegKey over a .reg registry file: what opens and reads, and files that are missing or
// malformed (then no key opens and callers keep their defaults).
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "os/os_regkey.h"
#include "support/test_support.h"

#if !defined(_WIN32)

namespace {

constexpr char16_t kKey[] = u"SOFTWARE\\Velmora\\Corvane\\CurrentVersion";
const std::string kHead = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string kSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvane\\CurrentVersion]\r\n";

}  // namespace

TEST(CRegKey, OpensKeysAndReadsDwordsIgnoringCaseAndRefusesMalformedFiles) {
  mhtest::TempDir dir;
  const std::filesystem::path path = dir.File("registry.reg");
  mhtest::EnvScope env("MAILHOOK_REGISTRY", path.string());
  auto write = [&](const std::string& text) { std::ofstream(path, std::ios::binary) << text; };
  write(kHead + "; exported settings\r\n" + kSection +
        "\"MaxAllowedMemMapFileSize\"=dword:00f00000\r\n\"Blob\"=hex:01,02,\\\r\n  03\r\n"
        "\"Name\"=\"a \\\"quoted\\\" "
        "text\"\r\n\r\n[hkey_local_machine\\software\\velmora\\corvane\\currentversion]\r\n"
        "\"name\"=dword:FFFFFFFF\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n\"Stale\"=dword:1\r\n");
  OS::CRegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, u"software\\VELMORA\\Corvane\\CurrentVersion\\", KEY_READ), 0);
  DWORD value = 7;
  EXPECT_EQ(key.QueryValue(value, u"maxallowedmemmapfilesize"), 0);
  EXPECT_EQ(value, 0xF00000u);
  EXPECT_EQ(key.QueryValue(value, u"Name"), 0);  // the later listing wins
  EXPECT_EQ(value, 0xFFFFFFFFu);
  value = 7;
  EXPECT_NE(key.QueryValue(value, u"Blob"), 0);  // not a DWORD
  EXPECT_NE(key.QueryValue(value, u"Missing"), 0);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(key.Close(), 0);
  EXPECT_NE(key.QueryValue(value, u"MaxAllowedMemMapFileSize"), 0);
  // A listed subkey implies its parents; other roots, other keys and deleted keys do not open.
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmora", KEY_READ), 0);
  EXPECT_NE(key.Open(HKEY_CURRENT_USER, kKey, KEY_READ), 0);
  EXPECT_NE(key.Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmora\\Corv", KEY_READ), 0);
  EXPECT_NE(key.Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Gone", KEY_READ), 0);

  // The registry editor's own export: UTF-16LE with a byte-order mark.
  std::string utf16 = "\xFF\xFE";
  for (char c : kHead + kSection + "\"MaxAllowedMemMapFileSize\"=dword:02000000\r\n")
    utf16 += std::string{c, '\0'};
  write(utf16);
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  EXPECT_EQ(key.QueryValue(value, u"MaxAllowedMemMapFileSize"), 0);
  EXPECT_EQ(value, 0x2000000u);

  const std::string good = "\"MaxAllowedMemMapFileSize\"=dword:00100000\r\n";
  for (const std::string& text : {
           kSection + good,                                                          // no signature line
           kHead + kSection + "\"MaxAllowedMemMapFileSize\"=dword:xyz\r\n",          // not hex
           kHead + kSection + "\"MaxAllowedMemMapFileSize\"=dword:100000000\r\n",    // nine digits
           kHead + good + kSection,                                                  // a value before any key
           kHead + "[HKEY_NOWHERE\\SOFTWARE]\r\n" + kSection + good,                 // unknown root
           kHead + "[HKEY_LOCAL_MACHINE\\SOFTWARE\r\n" + good,                       // unterminated key
           kHead + kSection + "\"MaxAllowedMemMapFileSize=dword:00100000\r\n",       // unterminated name
           kHead + kSection + good + "garbage\r\n", std::string("\xFF\xFE\x41", 3),  // odd-length UTF-16
           "\xC3\x28" + kHead,                                                       // invalid UTF-8
       }) {
    write(text);
    EXPECT_NE(OS::CRegKey().Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0) << text;
  }
  std::filesystem::remove(path);
  EXPECT_NE(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  std::filesystem::create_directory(path);  // a folder where the file should be
  EXPECT_NE(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
}

#endif
