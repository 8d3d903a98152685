/* Never ends by itself: the program the runner's time-out must stop. */
#include <unistd.h>

int main(void)
{
    for (;;)
        pause();
}
