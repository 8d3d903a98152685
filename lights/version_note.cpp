// SPDX-License-Identifier: Apache-2.0
/*
 * The module's version, readable from its bytes without a new export: an
 * ELF note in a section of its own, .note.lumivane.version, with the name
 * "lumivane", type 1 and the NUL-terminated version text as its descriptor.
 * The section is allocated, so the linker places it in the note segment
 * beside the build ID and stripping keeps it. LUMIVANE_VERSION comes from
 * the build, which reads it from the tree's VERSION file.
 */
#ifndef LUMIVANE_VERSION
#error "LUMIVANE_VERSION must be defined by the build"
#endif

/* %note: "@" starts a comment in ARM assembly. */
__asm__(".pushsection .note.lumivane.version, \"a\", %note\n"
        ".balign 4\n"
        ".long 2f - 1f\n" /* name size, its NUL included */
        ".long 4f - 3f\n" /* descriptor size, its NUL included */
        ".long 1\n"       /* type: the version text */
        "1: .asciz \"lumivane\"\n"
        "2: .balign 4\n"
        "3: .asciz \"" LUMIVANE_VERSION "\"\n"
        "4: .balign 4\n"
        ".popsection\n");
