/* SPDX-License-Identifier: Apache-2.0 */
/* Needs libc and nothing else: its needed libraries are libc's. */

#include <stdio.h>

int main(void)
{
    return fputs("", stderr) < 0;
}
