// Name comparison a word at a time: the same answers as a byte-wise comparison, for names at
// every alignment, and no read past the page that ends with the name's terminator.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "resmonitor/name_match.h"
#include "resmonitor/name_store.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace resmonitor {
namespace {

// A readable page followed by one that faults when touched.
class GuardedPage {
 public:
  GuardedPage();
  ~GuardedPage();
  // `text` with its terminator placed so that the terminator is the page's last byte.
  const char* at_end(const std::string& text) {
    char* start = page_ + page_size_ - text.size() - 1;
    std::memcpy(start, text.c_str(), text.size() + 1);
    return start;
  }

 private:
  char* page_ = nullptr;
  std::size_t page_size_ = 0;
};

#if defined(_WIN32)
GuardedPage::GuardedPage() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  page_size_ = info.dwPageSize;
  page_ = static_cast<char*>(
      VirtualAlloc(nullptr, 2 * page_size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  DWORD previous = 0;
  VirtualProtect(page_ + page_size_, page_size_, PAGE_NOACCESS, &previous);
}
GuardedPage::~GuardedPage() { VirtualFree(page_, 0, MEM_RELEASE); }
#else
GuardedPage::GuardedPage() {
  page_size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  page_ = static_cast<char*>(
      mmap(nullptr, 2 * page_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  mprotect(page_ + page_size_, page_size_, PROT_NONE);
}
GuardedPage::~GuardedPage() { munmap(page_, 2 * page_size_); }
#endif

std::string text_of_length(std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

// Every key length up to five words, against names at every alignment that are equal, shorter,
// longer, or differ in one byte (including a byte of 0x80 and above, and the last one).
TEST(NameMatch, AgreesWithByteComparisonAtEveryAlignment) {
  NameStore store;
  for (std::size_t length = 0; length <= 40; ++length) {
    const std::string key_text = text_of_length(length);
    const std::string_view key = store.keep(key_text);
    std::vector<std::string> names = {key_text, key_text + "x", key_text.substr(0, length / 2)};
    if (length > 0) names.push_back(key_text.substr(0, length - 1));
    for (std::size_t at = 0; at < length; ++at) {
      std::string changed = key_text;
      changed[at] = static_cast<char>(0xC3);
      names.push_back(changed);
    }
    for (const std::string& name : names) {
      alignas(8) char buffer[64 + 8];
      for (std::size_t offset = 0; offset < 8; ++offset) {
        std::memset(buffer, 'z', sizeof buffer);
        std::memcpy(buffer + offset, name.c_str(), name.size() + 1);
        EXPECT_EQ(name_matches(key, buffer + offset), name == key_text)
            << "key of " << length << " bytes, name \"" << name << "\" at offset " << offset;
      }
    }
  }
}

// The name's terminator is the last byte before an unmapped page: only its own words are read,
// whether it matches, is shorter or ends early at a difference.
TEST(NameMatch, ReadsNothingPastTheWordOfTheTerminator) {
  NameStore store;
  GuardedPage page;
  for (std::size_t length = 0; length <= 24; ++length) {
    const std::string key_text = text_of_length(length);
    const std::string_view key = store.keep(key_text);
    EXPECT_TRUE(name_matches(key, page.at_end(key_text)));
    EXPECT_FALSE(name_matches(key, page.at_end(key_text.substr(0, length / 2) + "!")));
    // A longer key than the name: the name's terminator differs before the key's ends.
    const std::string_view longer = store.keep(key_text + "more characters");
    EXPECT_FALSE(name_matches(longer, page.at_end(key_text)));
  }
}

}  // namespace
}  // namespace resmonitor
