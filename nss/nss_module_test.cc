// The built libnss_tamrin.so.2 as a program's dynamic linker sees it.
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace tamrin {
namespace {

// The defined global and weak symbols of the file's dynamic symbol table: what the module
// offers to, and what could be taken over by, the program it is loaded into.
std::set<std::string> exportedSymbols(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> file{std::istreambuf_iterator<char>(in), {}};
  EXPECT_GE(file.size(), sizeof(ElfW(Ehdr))) << path;
  if (file.size() < sizeof(ElfW(Ehdr)) || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) return {};
  const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(file.data());
  const auto* sections = reinterpret_cast<const ElfW(Shdr)*>(file.data() + header->e_shoff);
  std::set<std::string> names;
  for (int i = 0; i < header->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_DYNSYM) continue;
    const char* strings = file.data() + sections[sections[i].sh_link].sh_offset;
    const auto* symbols = reinterpret_cast<const ElfW(Sym)*>(file.data() + sections[i].sh_offset);
    for (size_t s = 0; s < sections[i].sh_size / sizeof(ElfW(Sym)); ++s) {
      const int binding = ELF64_ST_BIND(symbols[s].st_info);
      if (symbols[s].st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) {
        continue;
      }
      names.insert(strings + symbols[s].st_name);
    }
  }
  return names;
}

TEST(NameServiceModuleFileTest, ExportsOnlyItsFourEntryPoints) {
  const std::set<std::string> expected = {
      "_nss_tamrin_gethostbyname_r", "_nss_tamrin_gethostbyname2_r", "_nss_tamrin_gethostbyname3_r",
      "_nss_tamrin_gethostbyname4_r"};
  EXPECT_EQ(exportedSymbols(TAMRIN_TEST_BUNDLE_DIR "/lib/libnss_tamrin.so.2"), expected);
}

}  // namespace
}  // namespace tamrin
