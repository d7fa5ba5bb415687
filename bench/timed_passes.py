"""Times passes of one build of pluvo over one file and prints their seconds as JSON.

python bench/timed_passes.py MODULE_FILE PATH READER_TYPE events|batches MAX_EVENTS PASSES

Started by fresh_processes.py, one interpreter per build: it loads no module but the build it
times, and no other bench module, so nothing else holds memory in the interpreter's collector.
"""

import json
import sys
import time

from module_files import load_module


def main():
    module_file, path, reader_type, kind, max_events, passes = sys.argv[1:]
    module = load_module("pluvo", module_file)

    def one_pass():
        start = time.perf_counter()
        reader = module.EventReader(path, reader_type)
        if kind == "batches":
            for _ in reader.batches(max_events=int(max_events)):
                pass
        else:
            for _ in reader:
                pass
        return time.perf_counter() - start

    one_pass()  # the JIT's warm-up and the first touch of the storage
    print(json.dumps([one_pass() for _ in range(int(passes))]))


if __name__ == "__main__":
    main()
