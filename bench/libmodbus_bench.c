/* One-register reads by libmodbus's RTU client, each timed, for comparison:
 *   libmodbus_bench PORT COUNT [BAUD]      (19200 baud by default)
 * Prints one line of key=value pairs for the benchmark driver, then every round trip in us. */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static double cpu_us(void) {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

static int compare(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: libmodbus_bench PORT COUNT [BAUD]\n");
        return 2;
    }
    const long count = atol(argv[2]);
    const int baud = argc == 4 ? atoi(argv[3]) : 19200;
    modbus_t* ctx = modbus_new_rtu(argv[1], baud, 'E', 8, 1);
    if (ctx == NULL || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        fprintf(stderr, "connect: %s\n", modbus_strerror(errno));
        return 1;
    }
    uint16_t first;
    modbus_read_registers(ctx, 317, 1, &first); /* not timed, as for the other clients */
    double* round_trips = malloc(sizeof(double) * (size_t)count);
    long failures = 0;
    const double cpu_start = cpu_us();
    for (long i = 0; i < count; ++i) {
        uint16_t value;
        const double start = now_us();
        failures += modbus_read_registers(ctx, 317, 1, &value) != 1;
        round_trips[i] = now_us() - start;
    }
    const double cpu = cpu_us() - cpu_start;
    double* sorted = malloc(sizeof(double) * (size_t)count);
    for (long i = 0; i < count; ++i) {
        sorted[i] = round_trips[i];
    }
    qsort(sorted, (size_t)count, sizeof(double), compare);
    printf("reads=%ld median_us=%.1f p99_us=%.1f cpu_us=%.1f failures=%ld\n", count,
           sorted[(count - 1) / 2], sorted[(size_t)(0.99 * (count - 1))], cpu / count, failures);
    for (long i = 0; i < count; ++i) {
        printf("%s%.1f", i ? "," : "", round_trips[i]);
    }
    printf("\n");
    free(sorted);
    free(round_trips);
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}
