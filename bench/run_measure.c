/* run_measure OUT COMMAND [ARG...]: runs COMMAND and appends its wall time and
 * the CPU time of it and its children (getrusage through wait4), in seconds,
 * to the file OUT as "wall user system". Exits with COMMAND's status. */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec * 1e-6; }

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: run_measure OUT COMMAND [ARG...]\n");
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    FILE* out = fopen(argv[1], "a");
    if (out == NULL) return 1;
    fprintf(out, "%.4f %.4f %.4f\n", (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) * 1e-9,
            Seconds(usage.ru_utime), Seconds(usage.ru_stime));
    fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
