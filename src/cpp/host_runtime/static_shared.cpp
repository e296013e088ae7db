#include "static_shared.h"

#include "options.h"
#include "thread_context.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace nolith_host {

namespace {

constexpr char kGuardName[] = "nolith_shared_guard_";
// The runtime's own thread-local whose address gives this thread's TLS block.
constexpr char kAnchorName[] = "_ZN11nolith_host17tl_current_threadE";

struct Variable {
    std::uintptr_t offset;  // in the module's TLS block
    std::size_t size;
    std::uintptr_t guard;   // offset of its guard
    std::string symbol;
};

struct Table {
    bool found = false;
    std::uintptr_t anchor = 0;
    std::vector<Variable> variables;
};

unsigned char guard_byte(std::size_t i) { return static_cast<unsigned char>(0x5B + 37 * i); }

// The file of the loaded module that contains `address`.
std::string module_path(const void* address) {
    struct Search {
        std::uintptr_t address;
        std::string path;
        bool found;
    } search{reinterpret_cast<std::uintptr_t>(address), {}, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto& s = *static_cast<Search*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& p = info->dlpi_phdr[i];
                const std::uintptr_t begin = info->dlpi_addr + p.p_vaddr;
                if (p.p_type == PT_LOAD && s.address >= begin && s.address < begin + p.p_memsz) {
                    s.path = info->dlpi_name && *info->dlpi_name ? info->dlpi_name : "/proc/self/exe";
                    s.found = true;
                    return 1;
                }
            }
            return 0;
        },
        &search);
    return search.found ? search.path : std::string();
}

struct Symbol {
    std::string name;
    std::uintptr_t value;
    std::size_t size;
};

// Thread-local symbols of an ELF file, from .symtab (or .dynsym without it).
std::vector<Symbol> tls_symbols(const std::string& path) {
    std::vector<Symbol> symbols;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return symbols;
    struct stat st {};
    void* map = fstat(fd, &st) == 0 ? mmap(nullptr, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    close(fd);
    if (map == MAP_FAILED) return symbols;
    const auto* file = static_cast<const unsigned char*>(map);
    const auto size = static_cast<std::size_t>(st.st_size);
    const auto* eh = reinterpret_cast<const ElfW(Ehdr)*>(file);
    if (size >= sizeof(ElfW(Ehdr)) && !std::memcmp(eh->e_ident, ELFMAG, SELFMAG) &&
        eh->e_shoff + std::size_t(eh->e_shnum) * sizeof(ElfW(Shdr)) <= size) {
        const auto* sections = reinterpret_cast<const ElfW(Shdr)*>(file + eh->e_shoff);
        const ElfW(Shdr)* table = nullptr;
        for (int i = 0; i < eh->e_shnum; ++i) {
            if (sections[i].sh_type == SHT_SYMTAB) table = &sections[i];
            if (sections[i].sh_type == SHT_DYNSYM && !table) table = &sections[i];
        }
        if (table && table->sh_link < eh->e_shnum && table->sh_offset + table->sh_size <= size) {
            const ElfW(Shdr)& strings = sections[table->sh_link];
            const auto* names = reinterpret_cast<const char*>(file + strings.sh_offset);
            const auto* sym = reinterpret_cast<const ElfW(Sym)*>(file + table->sh_offset);
            for (std::size_t i = 0; i < table->sh_size / sizeof(ElfW(Sym)); ++i) {
                if (ELF64_ST_TYPE(sym[i].st_info) != STT_TLS || sym[i].st_name >= strings.sh_size) continue;
                symbols.push_back({names + sym[i].st_name, sym[i].st_value, sym[i].st_size});
            }
        }
    }
    munmap(map, size);
    return symbols;
}

// The mangled prefix naming the function a local static belongs to
// ("_ZZ<function>E"), or empty for a variable outside a function.
std::string function_prefix(const std::string& guard) {
    std::size_t at = guard.find(kGuardName);
    if (guard.compare(0, 3, "_ZZ") != 0 || at == std::string::npos) return {};
    while (at > 0 && guard[at - 1] >= '0' && guard[at - 1] <= '9') --at;
    return at > 0 && guard[at - 1] == 'E' ? guard.substr(0, at) : std::string();
}

Table build_table() {
    Table table;
    const std::vector<Symbol> symbols = tls_symbols(module_path(reinterpret_cast<const void*>(&build_table)));
    for (const Symbol& s : symbols) {
        if (s.name == kAnchorName) {
            table.anchor = s.value;
            table.found = true;
        }
    }
    for (const Symbol& guard : symbols) {
        const std::string prefix = function_prefix(guard.name);
        if (prefix.empty() || guard.size != sizeof(SharedGuard)) continue;
        // The guarded variable belongs to the same function and ends where the guard begins.
        for (const Symbol& s : symbols) {
            if (s.size && s.value + s.size == guard.value && s.name.compare(0, prefix.size(), prefix) == 0 &&
                s.name.find(kGuardName) == std::string::npos) {
                table.variables.push_back({s.value, s.size, guard.value, s.name});
            }
        }
    }
    if (!table.found) table.variables.clear();
    return table;
}

const Table& table() {
    static const Table t = build_table();
    return t;
}

// This OS thread's copy of the module's thread-local storage.
unsigned char* tls_block() {
    std::uintptr_t address = reinterpret_cast<std::uintptr_t>(&tl_current_thread) - table().anchor;
    asm("" : "+r"(address));  // not derived from tl_current_thread as far as the optimiser knows
    return reinterpret_cast<unsigned char*>(address);
}

std::string demangled(const std::string& symbol) {
    int status = 0;
    char* text = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
    std::string result = status == 0 && text ? text : symbol;
    std::free(text);
    return result;
}

}  // namespace

namespace static_shared {

void begin_block() {
    const Table& t = table();
    if (t.variables.empty()) return;
    unsigned char* block = tls_block();
    const unsigned char poison = options().poison;
    for (const Variable& v : t.variables) {
        std::memset(block + v.offset, poison, v.size);
        unsigned char* guard = block + v.guard;
        for (std::size_t i = 0; i < sizeof(SharedGuard); ++i) guard[i] = guard_byte(i);
    }
}

std::string overrun_variable() {
    const Table& t = table();
    unsigned char* block = t.variables.empty() ? nullptr : tls_block();
    for (const Variable& v : t.variables) {
        unsigned char* guard = block + v.guard;
        for (std::size_t i = 0; i < sizeof(SharedGuard); ++i) {
            if (guard[i] != guard_byte(i)) {
                for (std::size_t j = 0; j < sizeof(SharedGuard); ++j) guard[j] = guard_byte(j);
                return demangled(v.symbol) + " (" + std::to_string(v.size) + " bytes)";
            }
        }
    }
    return {};
}

bool checked() { return !table().variables.empty(); }

}  // namespace static_shared

}  // namespace nolith_host
