#pragma once
// Helpers shared by the benchmarks: timed runs of real programs with their peak memory, the
// peak memory of a running process, medians, and the floor exchange against a server address.
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vm::bench {

struct TimedRun {
    double seconds = 0;  // from the start of the program to its exit being collected
    int exitCode = -1;   // -1 when it could not start or did not exit normally
    std::string output;  // standard output
};

// Runs the program (argument vector, no shell) with `input` on its standard input and the
// current environment, collects its standard output and waits for it. A program that is still
// running after `timeoutSeconds` is killed and reported with exit code -1.
TimedRun RunTimed(const std::vector<std::string>& argv, const std::string& input = {},
                  double timeoutSeconds = 120);

// Peak resident memory of a running process (VmHWM of /proc/PID/status) in KiB; 0 when unknown.
long PeakRssKiB(int pid);

// Runs the program with `input` on its standard input and its output discarded, and returns its
// own peak resident memory in KiB, read when it is about to exit; 0 when that failed. The
// rusage of a child cannot tell it: it counts the memory of the parent that started the child
// as well. The program runs traced, so this run is not timed.
long PeakRssOfRun(const std::vector<std::string>& argv, const std::string& input = {});

// The median of the samples (the mean of the middle two for an even count); 0 for none.
double Median(std::vector<double> samples);

// 127.0.0.1 with the given port.
sockaddr_in Loopback(std::uint16_t port);

}  // namespace vm::bench
