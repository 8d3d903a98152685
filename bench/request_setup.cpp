#include "request_setup.h"

#include "pellix_sim.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace request_setup
{

std::string prepare_backlight()
{
    std::string why_not = pellix_sim::enter();
    if (!why_not.empty())
        return why_not;
    /* Whatever stands there (nothing, after enter) gives way to a plain file. */
    unlink(pellix_sim::attribute_path);
    const int fd = open(pellix_sim::attribute_path, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return std::string("cannot create ") + pellix_sim::attribute_path + ": " + strerror(errno);
    close(fd);
    return std::string();
}

int unavailable_status()
{
    return pellix_sim::required() ? 1 : 77;
}

std::string attribute_content()
{
    const int fd = open(pellix_sim::attribute_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "?";
    char buffer[64];
    const ssize_t count = pread(fd, buffer, sizeof buffer, 0);
    close(fd);
    return count < 0 ? std::string("?") : std::string(buffer, static_cast<size_t>(count));
}

} // namespace request_setup
