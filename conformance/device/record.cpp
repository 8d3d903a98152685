// SPDX-License-Identifier: Apache-2.0
/* Clauses on the module record HMI: it loads, who it says it is, where its
   entry table leads, and its layout as the loader reads and writes it. */
#include "harness.h"

#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>

using namespace kit;

/* The harness loads the module before any clause: a module that cannot be
   loaded fails here, and the judge runs no other clause on it. */
CLAUSE(record_load, "record.load", contract, 10,
       "the module loads with every symbol bound (dlopen RTLD_NOW) and exports HMI")
{
}

CLAUSE(record_identity, "record.identity", contract, 10, "magic, version, ident and title")
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(module);
    if (memcmp(bytes, "TMWH", 4) != 0)
        fail("magic " + hex(module->magic) + ", not " + hex(MODULE_RECORD_MAGIC));
    same("version", std::to_string(module->api_major) + "." + std::to_string(module->api_minor),
         std::string("1.0"));
    if (module->ident == nullptr || module->title == nullptr)
        fail("ident or title is null");
    same("ident", std::string(module->ident), std::string("lights"));
    same("title", std::string(module->title), std::string("Pellix Lights Module"));
}

CLAUSE(record_entries, "record.entries", contract, 10,
       "the entry table lies in the module and leads to the module's acquire")
{
    if (module->entry_table == nullptr)
        fail("entry_table is null");
    if (!in_module(module->entry_table))
        fail("entry_table points outside the module");
    if (!in_module(reinterpret_cast<const void*>(module->entry_table->open_entry)))
        fail("open_entry does not point into the module's code");
}

namespace
{

/* Whether the whole of [address, address + size) lies in writable pages of
   this process. */
bool writable(const void* address, size_t size)
{
    const auto start = reinterpret_cast<uintptr_t>(address);
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        /* "LOW-HIGH PERMISSIONS ..." */
        char* end = nullptr;
        const unsigned long low = strtoul(line.c_str(), &end, 16);
        const unsigned long high = strtoul(end + 1, &end, 16);
        if (start >= low && start + size <= high)
            return end[0] == ' ' && end[2] == 'w';
    }
    return false;
}

} // namespace

CLAUSE(record_layout, "record.layout", contract, 10,
       "128 bytes, its fields at their offsets, loader_slot null, spare zero, and writable: a "
       "loader may write loader_slot")
{
    Dl_info info;
    void* entry = nullptr;
    if (dladdr1(module, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr)
        fail("HMI has no symbol entry");
    same("HMI's size", static_cast<int>(static_cast<const ElfW(Sym)*>(entry)->st_size), 128);
    /* The fields at their offsets, read as bytes. */
    auto* bytes = reinterpret_cast<unsigned char*>(module);
    const char* texts[3];
    for (size_t i = 0; i < 3; ++i) {
        const size_t offset = 8 + 4 * i;
        memcpy(static_cast<void*>(&texts[i]), bytes + offset, sizeof texts[i]);
        if (!in_module(texts[i]))
            fail("the text pointer at offset " + std::to_string(offset) +
                 " does not point into the module");
    }
    if (texts[2][0] == '\0')
        fail("the credit at offset 16 is empty");
    void* slot;
    memcpy(static_cast<void*>(&slot), bytes + 24, sizeof slot);
    if (slot != nullptr)
        fail("loader_slot at offset 24 is not null");
    for (int at = 28; at < 128; ++at) {
        if (bytes[at] != 0)
            fail("spare byte at offset " + std::to_string(at) + " is " + std::to_string(bytes[at]));
    }
    /* An ordinary writable object: the loader's own pointer goes in and
       reads back. A record in read-only memory would crash that loader. */
    if (!writable(module, sizeof *module))
        fail("HMI lies in read-only memory: a loader writing loader_slot would crash");
    static int loaders_own;
    module->loader_slot = &loaders_own;
    const bool kept = module->loader_slot == &loaders_own;
    module->loader_slot = nullptr;
    if (!kept)
        fail("loader_slot does not keep what a loader writes");
}
