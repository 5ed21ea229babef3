"""The memory checker's workload (make valgrind): every function of the
module, succeeding and failing at each stage of argument handling, a few
times over, on small inputs, from one thread and then from four."""

import pathlib
import sys
import threading

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "python"))

from workloads import calls, failing_calls  # noqa: E402


def run_all(work, times):
    for call in work.values():
        call.repeat(times)


def main():
    work = {**calls("tiny"), **failing_calls("tiny")}
    run_all(work, 3)
    threads = [threading.Thread(target=run_all, args=(work, 1)) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(f"memcheck workload: {len(work)} calls done")


if __name__ == "__main__":
    main()
