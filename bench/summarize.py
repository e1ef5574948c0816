"""Prints the ratios of a bench/run.sh run as Markdown tables: the median over the repetitions of
each benchmark's counters (a benchmark without repetitions reports its own medians)."""
import json
import sys


def medians(paths):
    found = {}
    for path in paths:
        with open(path) as f:
            for b in json.load(f)["benchmarks"]:
                name = b["run_name"].split("/")[0]
                if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                    continue
                if b.get("run_type") == "iteration" and name in found:
                    continue
                found[name] = b
    return found


def row(cells):
    print("| " + " | ".join(cells) + " |")


def main():
    m = medians(sys.argv[1:])
    get = lambda bench, key: m.get(bench, {}).get(key, float("nan"))

    p = "BM_OneCommandProcess"
    print("\n### One command as a process (ms, median)\n")
    row(["/bin/true", "floor client (STS 1, GFS 1)", "vmcli /ver", "vmcli @127.0.0.1 STS 1",
         "vmcli / floor", "vmcli / true", "floor / true"])
    row(["---"] * 7)
    row(["%.2f" % get(p, "true_ms"), "%.2f" % get(p, "floor_ms"), "%.2f" % get(p, "vmcli_ver_ms"),
         "%.2f" % get(p, "vmcli_ms"), "%.2f" % get(p, "vmcli_over_floor"), "%.2f" % get(p, "vmcli_over_true"),
         "%.2f" % get(p, "floor_over_true")])

    e = "BM_ExchangeLoop"
    print("\n### Exchanges in a loop (STS 1, median)\n")
    row(["TCP_COM::Exchange", "floor exchange", "TCP_COM / floor"])
    row(["---"] * 3)
    row(["%.0f us (%.0f /s)" % (get(e, "tcp_com_us"), get(e, "tcp_com_per_s")),
         "%.0f us (%.0f /s)" % (get(e, "floor_us"), get(e, "floor_per_s")), "%.2f" % get(e, "tcp_com_over_floor")])

    r = "BM_RelayAddedLatency"
    print("\n### Pipe server (STS 1 per transaction, median)\n")
    row(["direct TCP_COM", "through the server", "added", "relayed / direct", "floor", "relayed / floor"])
    row(["---"] * 6)
    row(["%.0f us" % get(r, "direct_us"), "%.0f us" % get(r, "relayed_us"), "%.0f us" % get(r, "added_us"),
         "%.2f" % get(r, "relayed_over_direct"), "%.0f us" % get(r, "floor_us"), "%.2f" % get(r, "relayed_over_floor")])
    print("\nvmcli processes: %.2f ms direct, %.2f ms through the server (real time per command)"
          % (get("BM_ToolDirectTcp", "real_time"), get("BM_ToolThroughServer", "real_time")))

    f, fp = "BM_FirmwareUpdate128KiBOverTcp", "BM_FirmwareUpdateProcess"
    print("\n### Firmware update, 131064 bytes, %d exchanges (s, median)\n" % get(f, "exchanges"))
    row(["run", "total", "fixed waits", "exchanges", "floor (waits + floor exchanges)", "total / floor"])
    row(["---"] * 6)
    row(["in process", "%.2f" % get(f, "total_s"), "%.2f (%.1f nominal)" % (get(f, "waits_s"), get(f, "waits_nominal_s")),
         "%.2f (%.0f us each)" % (get(f, "exchanges_s"), get(f, "per_exchange_us")),
         "%.2f (%.0f us each)" % (get(f, "floor_s"), get(f, "floor_per_exchange_us")), "%.2f" % get(f, "total_over_floor")])
    row(["vmcli process", "%.2f" % get(fp, "total_s"), "17.6 nominal", "", "%.2f" % get(fp, "floor_s"),
         "%.2f" % get(fp, "total_over_floor")])

    k = "BM_PeakMemory"
    print("\n### Peak resident memory (KiB)\n")
    row(["/bin/true", "floor client", "vmcli STS 1", "vmcli FU 128 KiB", "vmsim after the LAN runs",
         "vmsim after the updates", "vmcli / floor"])
    row(["---"] * 7)
    row(["%.0f" % get(k, "true_peak_KiB"), "%.0f" % get(k, "floor_peak_KiB"), "%.0f" % get(k, "vmcli_peak_KiB"),
         "%.0f" % get(fp, "vmcli_peak_KiB"), "%.0f" % get(k, "vmsim_peak_KiB"), "%.0f" % get(fp, "vmsim_peak_KiB"),
         "%.2f" % get(k, "vmcli_over_floor")])
    wrong = sum(get(b, c) for b, c in [(p, "wrong_output"), (e, "wrong_replies"), (r, "failures"),
                                       (fp, "wrong_output"), ("BM_ToolDirectTcp", "wrong_output"),
                                       ("BM_ToolThroughServer", "wrong_output")] if b in m)
    print("\nwrong replies or outputs: %d" % wrong)


main()
