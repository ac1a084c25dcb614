#!/usr/bin/env python3
"""Prints one table of every benchmark figure and exits 1 if a criterion fails.

Usage: report.py BENCH_JSON LATENCY_JSON [SIM_LINE_JSON]
BENCH_JSON is korvel_bench's --benchmark_out (with repetitions: the medians
are used); LATENCY_JSON is what korvel_latency wrote; SIM_LINE_JSON what
korvel_sim_line wrote.
"""
import json
import sys

CRC_RATIO_CHECKED_BYTES = 4096
CRC_RATIO_MINIMUM = 1.0


def verdict(ok):
    return "PASS" if ok else "FAIL"


def median_runs(path):
    """Run name -> the median of its repetitions (or its single run)."""
    runs = {}
    for run in json.load(open(path))["benchmarks"]:
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
            continue
        if run.get("error_occurred"):
            sys.exit(f"{run['run_name']}: {run.get('error_message')}")
        runs[run["run_name"]] = run
    return runs


def size_args(runs, name):
    return sorted(int(run.split("/")[1]) for run in runs if run.split("/")[0] == name)


def mb(rate):
    return f"{rate / 1e6:,.1f} MB/s"


def frames(rate):
    return f"{rate / 1e6:,.3f} M frames/s"


def crc_rows(runs):
    rows, ok = [], True
    for size in size_args(runs, "crc_ours"):
        ours = runs[f"crc_ours/{size}"]["bytes_per_second"]
        boost = runs[f"crc_boost/{size}"]["bytes_per_second"]
        ratio = ours / boost
        check = ""
        if size == CRC_RATIO_CHECKED_BYTES:
            passed = ratio >= CRC_RATIO_MINIMUM
            ok &= passed
            check = f"ratio >= {CRC_RATIO_MINIMUM:.2f}: {verdict(passed)}"
        figures = f"ours {mb(ours)}, Boost {mb(boost)}, ratio ours/Boost {ratio:.3f}"
        rows.append(("CRC-16", f"{size} bytes", figures, check))
    return rows, ok


def codec_rows(runs):
    rows = []
    for name, label in (("encode_request_best", "no byte stuffed"),
                        ("encode_request_worst", "every byte 0x7D")):
        for size in size_args(runs, name):
            run = runs[f"{name}/{size}"]
            case = f"{size}-byte command, {label} ({run['frame_bytes']:.0f}-byte frame)"
            rows.append(("encode_request", case, frames(run["items_per_second"]), ""))
    return rows


def receiver_rows(runs):
    rows = []
    for size in size_args(runs, "receive_reply_frames"):
        run = runs[f"receive_reply_frames/{size}"]
        case = f"{size}-byte payload ({run['frame_bytes']:.0f}-byte frame)"
        figures = f"{frames(run['items_per_second'])}, {mb(run['bytes_per_second'])}"
        rows.append(("receive_reply (fake port)", case, figures, ""))
    return rows


def latency_rows(path):
    rows, ok = [], True
    for call in json.load(open(path)):
        figures = (f"median {call['median_ms']:.2f} ms, p90 {call['p90_ms']:.2f}, "
                   f"max {call['max_ms']:.2f}, min {call['min_ms']:.2f}; "
                   f"floor {call['floor_ms']:.0f} ms (lower end {call['lower_end_ms']:.0f}); "
                   f"CPU/call: process {call['process_cpu_ms_per_call']:.3f} ms, "
                   f"calling thread {call['thread_cpu_ms_per_call']:.3f} ms")
        check = (f"median within {call['median_tolerance_ms']:.0f} ms of floor: "
                 f"{verdict(call['median_ok'])}; "
                 f"CPU < {call['cpu_limit_ms']:.0f} ms: {verdict(call['cpu_ok'])}; "
                 f"{call['failures']} failed calls: {verdict(call['failures'] == 0)}")
        ok &= call["median_ok"] and call["cpu_ok"] and call["failures"] == 0
        rows.append(("latency (.so, pty)", f"{call['call']} x{call['calls']}", figures, check))
    return rows, ok


def sim_line_rows(path):
    figures = json.load(open(path))
    rows = []
    for case in figures["tap"]:
        rows.append(("korvel-sim tap (pty)", f"{case['name']} x{case['samples']}",
                     f"median {case['median_ms']:.3f} ms, p99 {case['p99_ms']:.3f}, "
                     f"max {case['max_ms']:.3f}", ""))
    rows[-1] = rows[-1][:3] + (f"p99 of 1 byte {figures['tap_p99_ms']:.3f} ms "
                               f"< {figures['tap_limit_ms']:.0f} ms: "
                               f"{verdict(figures['tap_ok'])}; tap's own median share about "
                               f"{figures['tap_own_median_ms']:.3f} ms",)
    reopen = figures["reopen"][0]
    rows.append(("korvel-sim port (pty)", f"{reopen['name']} x{reopen['samples']}",
                 f"median {reopen['median_ms']:.3f} ms, p99 {reopen['p99_ms']:.3f}, "
                 f"max {reopen['max_ms']:.3f}; {figures['reopen_refused_opens']} opens refused "
                 f"first", f"max < {figures['reopen_limit_ms']:.0f} ms: "
                          f"{verdict(figures['reopen_ok'])}"))
    return rows, figures["tap_ok"] and figures["reopen_ok"]


def print_table(rows):
    header = ("Area", "Case", "Figures", "Check")
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
    line = lambda cells: "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))


def main():
    runs = median_runs(sys.argv[1])
    crc, crc_ok = crc_rows(runs)
    latency, latency_ok = latency_rows(sys.argv[2])
    sim_line, sim_line_ok = sim_line_rows(sys.argv[3]) if len(sys.argv) > 3 else ([], True)
    print_table(crc + codec_rows(runs) + receiver_rows(runs) + latency + sim_line)
    print("\nCPU/call process: the whole process, the simulated adapter's thread included; "
          "calling thread: the thread that called the library.")
    passed = crc_ok and latency_ok and sim_line_ok
    print(f"\nAll criteria: {verdict(passed)}")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
