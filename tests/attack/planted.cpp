// A library an attacker plants where a crypto library might be searched for.
// Loading it at all is the fault: its constructor leaves a marker file.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void plantedLoaded()
{
    const char *marker = getenv("KEL_PLANT_MARKER");
    if (marker == nullptr)
        return;
    int fd = open(marker, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        (void)!write(fd, "loaded\n", 7);
        close(fd);
    }
}
