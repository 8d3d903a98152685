/* SPDX-License-Identifier: Apache-2.0 */
/* Compiles only where the records header was found. */
#include <lumivane_records.h>

int consumer_record_magic(const struct module_record* record)
{
    return record->magic == MODULE_RECORD_MAGIC;
}
