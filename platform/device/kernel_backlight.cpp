/*
 * The tests' backlight on the emulated device, the second backend of
 * backlight_backend.h: its common calls, answered here by the kernel's
 * backlight class and the Pellix driver. What the module wrote is read back
 * from the driver's record of the levels the hardware was told, so every
 * write passes the kernel's parsing and range check on its way.
 */
#include "backlight_backend.h"
#include "pellix_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace
{

const char driver_file[] = "/lib/modules/pellix_bl.ko";
const char driver_name[] = "pellix_bl";
const char parameters[] = "/sys/module/pellix_bl/parameters/";

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
    const int fd = open(driver_file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const long loaded = syscall(SYS_finit_module, fd, "", 0);
    close(fd);
    return loaded == 0 && device_present();
}

bool unload()
{
    return syscall(SYS_delete_module, driver_name, O_NONBLOCK) == 0 && !device_present();
}

int fail_next_update(int error)
{
    /* write(2) itself, so that the driver's refusal arrives as its errno. */
    const std::string path = std::string(parameters) + "fail_next";
    const std::string text = std::to_string(error);
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const ssize_t written = write(fd, text.data(), text.size());
    const int result = written == static_cast<ssize_t>(text.size()) ? 0 : written < 0 ? errno : EIO;
    close(fd);
    return result;
}

bool stall_next_update(unsigned milliseconds)
{
    return write_text(std::string(parameters) + "stall_next_ms", std::to_string(milliseconds));
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
bool install_attribute()
{
    return pellix_driver::load() && pellix_driver::fail_next_update(0) == 0 &&
           pellix_driver::stall_next_update(0) &&
           write_text(std::string(parameters) + "updates", "0");
}

std::vector<std::string> take_writes()
{
    std::vector<std::string> writes;
    std::istringstream record(read_text(std::string(parameters) + "updates"));
    for (std::string line; std::getline(record, line);)
        writes.push_back(line + "\n");
    write_text(std::string(parameters) + "updates", "0");
    return writes;
}

std::vector<int> take_levels()
{
    std::vector<int> levels;
    for (const std::string& write : take_writes())
        levels.push_back(std::stoi(write));
    return levels;
}

} // namespace backlight_backend
