/* A module record the loader must refuse: built once with a wrong magic
   word and once with an unsupported major version. */
#include "lumivane_records.h"

extern "C" {

__attribute__((visibility("default"))) struct module_record HMI = {
    FAKE_MAGIC, FAKE_MAJOR, 0, "fake", "Fake Module", "nobody", nullptr, nullptr, {},
};

} /* extern "C" */
