// What a built program or library asks of the dynamic loader, read from its
// ELF file: the libraries it needs, whether every symbol is bound at start,
// and whether its relocations are made read-only afterwards.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace elfinfo {

// Built with the sanitizers, whose runtimes every program and library needs.
#if defined(__SANITIZE_ADDRESS__)
#define ELFINFO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ELFINFO_SANITIZED 1
#endif
#endif
#ifdef ELFINFO_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

struct Linkage {
    bool read = false;                 // a 64-bit ELF file with a dynamic section
    std::vector<std::string> needed;   // DT_NEEDED, in order
    bool bindNow = false;              // DF_BIND_NOW or DF_1_NOW
    bool relro = false;                // a PT_GNU_RELRO segment
};

inline Linkage readLinkage(const std::string &path)
{
    Linkage out;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto fits = [&f](uint64_t off, uint64_t len) { return off <= f.size() && len <= f.size() - off; };
    if (!fits(0, sizeof(Elf64_Ehdr)) || memcmp(f.data(), ELFMAG, SELFMAG) != 0 || f[EI_CLASS] != ELFCLASS64)
        return out;
    Elf64_Ehdr eh;
    memcpy(&eh, f.data(), sizeof eh);
    std::vector<Elf64_Phdr> ph(eh.e_phnum);
    if (eh.e_phentsize != sizeof(Elf64_Phdr) || !fits(eh.e_phoff, ph.size() * sizeof(Elf64_Phdr)))
        return out;
    memcpy(ph.data(), f.data() + eh.e_phoff, ph.size() * sizeof(Elf64_Phdr));
    // The file offset of an address, through the loadable segments.
    auto offsetOf = [&ph](uint64_t addr) -> uint64_t {
        for (const auto &p : ph)
            if (p.p_type == PT_LOAD && addr >= p.p_vaddr && addr < p.p_vaddr + p.p_filesz)
                return addr - p.p_vaddr + p.p_offset;
        return UINT64_MAX;
    };
    std::vector<Elf64_Dyn> dyn;
    for (const auto &p : ph) {
        out.relro = out.relro || p.p_type == PT_GNU_RELRO;
        if (p.p_type == PT_DYNAMIC && fits(p.p_offset, p.p_filesz)) {
            dyn.resize(p.p_filesz / sizeof(Elf64_Dyn));
            memcpy(dyn.data(), f.data() + p.p_offset, dyn.size() * sizeof(Elf64_Dyn));
        }
    }
    uint64_t strtab = UINT64_MAX;
    for (const auto &d : dyn) {
        if (d.d_tag == DT_STRTAB)
            strtab = offsetOf(d.d_un.d_ptr);
        if ((d.d_tag == DT_FLAGS && (d.d_un.d_val & DF_BIND_NOW)) || (d.d_tag == DT_FLAGS_1 && (d.d_un.d_val & DF_1_NOW)))
            out.bindNow = true;
    }
    for (const auto &d : dyn)
        if (d.d_tag == DT_NEEDED && strtab != UINT64_MAX && fits(strtab + d.d_un.d_val, 1))
            out.needed.emplace_back(f.data() + strtab + d.d_un.d_val,
                                    strnlen(f.data() + strtab + d.d_un.d_val, f.size() - strtab - d.d_un.d_val));
    out.read = !dyn.empty() && strtab != UINT64_MAX;
    return out;
}

// The needed libraries whose names do not start with one of the prefixes.
inline std::vector<std::string> neededBeyond(const Linkage &l, std::initializer_list<const char *> prefixes)
{
    std::vector<std::string> extra;
    for (const auto &n : l.needed) {
        bool known = false;
        for (const char *p : prefixes)
            known = known || n.rfind(p, 0) == 0;
        if (!known)
            extra.push_back(n);
    }
    return extra;
}

} // namespace elfinfo
