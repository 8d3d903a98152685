// SPDX-License-Identifier: Apache-2.0
/*
 * The tests' backlight on the emulated device, the second backend of
 * backlight_backend.h: its calls, answered here by the kernel's
 * backlight class and the Pellix driver. What the module wrote is read back
 * from the driver's record of the levels the hardware was told, so every
 * write passes the kernel's parsing and range check on its way.
 */
#include "backlight_backend.h"
#include "pellix_driver.h"
#include "pellix_driver_paths.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace
{

bool write_text(const std::string& path, const std::string& text)
{
    std::ofstream file(path);
    file << text;
    file.flush();
    return file.good();
}

std::string read_text(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool device_present()
{
    return access(backlight_backend::device_dir, F_OK) == 0;
}

} // namespace

namespace pellix_driver
{

bool load()
{
    if (device_present())
        return true;
    const int fd = open(PELLIX_DRIVER_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const long loaded = syscall(SYS_finit_module, fd, "", 0);
    close(fd);
    return loaded == 0 && device_present();
}

bool unload()
{
    return syscall(SYS_delete_module, PELLIX_DRIVER_NAME, O_NONBLOCK) == 0 && !device_present();
}

int fail_next_update(int error)
{
    /* write(2) itself, so that the driver's refusal arrives as its errno. */
    const std::string text = std::to_string(error);
    const int fd = open(PELLIX_DRIVER_FAIL_NEXT, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const ssize_t written = write(fd, text.data(), text.size());
    const int result = written == static_cast<ssize_t>(text.size()) ? 0 : written < 0 ? errno : EIO;
    close(fd);
    return result;
}

bool stall_next_update(unsigned milliseconds)
{
    return write_text(PELLIX_DRIVER_STALL_NEXT_MS, std::to_string(milliseconds));
}

int read_attribute(const char* name)
{
    const std::string text = read_text(std::string(backlight_backend::device_dir) + "/" + name);
    return text.empty() ? -1 : std::stoi(text);
}

} // namespace pellix_driver

namespace backlight_backend
{

std::string enter()
{
    return pellix_driver::load() ? "" : "the Pellix backlight driver cannot be loaded";
}

bool required()
{
    return true;
}

/* A fresh start: the driver loaded, its record empty, no fault pending. */
bool reset()
{
    return pellix_driver::load() && pellix_driver::fail_next_update(0) == 0 &&
           pellix_driver::stall_next_update(0) && write_text(PELLIX_DRIVER_UPDATES, "0");
}

/* The driver's record holds one level a line; writing 0 empties it. */
std::vector<int> take_levels()
{
    std::vector<int> levels;
    std::istringstream record(read_text(PELLIX_DRIVER_UPDATES));
    for (std::string line; std::getline(record, line);)
        levels.push_back(std::stoi(line));
    write_text(PELLIX_DRIVER_UPDATES, "0");
    return levels;
}

} // namespace backlight_backend
