// A library an attacker plants where a crypto library might be searched for.
// Loading it at all is the fault: its constructor adds a line naming the
// path it was loaded by to a marker file.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void plantedLoaded()
{
    const char *marker = getenv("KEL_PLANT_MARKER");
    if (marker == nullptr)
        return;
    Dl_info self = {};
    char line[4200];
    int n = snprintf(line, sizeof line, "loaded %s\n",
                     dladdr(reinterpret_cast<void *>(&plantedLoaded), &self) != 0 && self.dli_fname != nullptr
                         ? self.dli_fname
                         : "?");
    int fd = open(marker, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        if (n > 0)
            (void)!write(fd, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
        close(fd);
    }
}
