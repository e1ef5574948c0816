// A stand-in for vmcli in the hand-over tests: records its arguments, one per line, in the file
// that FAKE_VMCLI_RECORD names, then waits for one line (or the end) of its standard input, the
// way the calibration ends by waiting for Enter.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (const char* record = std::getenv("FAKE_VMCLI_RECORD")) {
        if (std::FILE* f = std::fopen(record, "w")) {
            for (int i = 1; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
            std::fclose(f);
        }
    }
    std::printf("calibrating\r\n Press ENTER to continue ...\n");
    std::fflush(stdout);
    int ch = 0;
    while ((ch = std::getchar()) != EOF && ch != '\n') {
    }
    return 0;
}
