// CPU time of this process, for checks that a wait blocks and that work
// grows as it should (CPU rather than wall time: other processes do not count).
#ifndef TAVRO_TESTS_CPU_TIME_H
#define TAVRO_TESTS_CPU_TIME_H

// CPU seconds (user and system) this process has used so far.
double cpuSeconds();

#endif
