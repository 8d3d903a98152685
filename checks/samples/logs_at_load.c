/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Linked into the plain module beside plain_module.c: a constructor that
 * logs a line of the module's own when the module is loaded. The contract
 * names the module's two log lines and has it act only inside the
 * platform's calls, so the kit must refuse this build (load.quiet), and
 * for nothing else. It never ships.
 */
int __kelvo_log_print(int priority, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

__attribute__((constructor)) static void announce(void)
{
    __kelvo_log_print(4, "lights", "lights module loaded\n");
}
