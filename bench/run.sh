#!/usr/bin/env bash
# Builds the programs and the benchmarks in Release form in build/bench and runs every benchmark
# against real vmsim processes on 127.0.0.1; prints a summary of the ratios (medians) at the end.
# The raw results stay in build/bench/results/*.json.
#   bench/run.sh [REPETITIONS]     (default 5; each repetition is a set of interleaved samples)
set -euo pipefail
cd "$(dirname "$0")/.."
repetitions="${1:-5}"
build=build/bench

# -O2 as the distribution builds its packages.
nice -n 10 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" \
    -DVM_BUILD_TESTS=OFF -DVM_BUILD_BENCH=ON > /dev/null
nice -n 10 cmake --build "$build" -j 2 --target vmcli vmsim floor_client lan_bench pipe_relay_bench \
    firmware_update_bench desktop_bench encoder_measurement_bench exchange_loop vellumotor

results="$build/results"
mkdir -p "$results"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
run() {
    local name=$1
    shift
    "$build/bench/$name" --benchmark_out="$results/$name.json" --benchmark_out_format=json "$@"
}
run lan_bench --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true
run pipe_relay_bench --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
    --benchmark_filter='BM_RelayAddedLatency|BM_Tool'
run firmware_update_bench
QT_QPA_PLATFORM=offscreen run desktop_bench
# The measurement writes its log VMdiag.log to the working directory.
(cd "$results" && QT_QPA_PLATFORM=offscreen "../bench/encoder_measurement_bench" \
    --benchmark_out=encoder_measurement_bench.json --benchmark_out_format=json)
/usr/bin/python3 bench/python_exchange_bench.py "$build" | tee "$results/python_exchange_bench.txt"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 bench/summarize.py "$results"/lan_bench.json "$results"/pipe_relay_bench.json \
    "$results"/firmware_update_bench.json
