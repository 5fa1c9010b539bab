#!/bin/bash
# Installs what is missing, builds everything and runs every test through CTest, and the ALSA
# checks in a VM (tests/alsa-vm); builds and tests again with Qt 6; then again under
# AddressSanitizer + UndefinedBehaviorSanitizer every test whose code a sanitizer can judge (not
# those labelled plain-only: forms, package, X events), the tests where threads meet under
# ThreadSanitizer, and each fuzzer for a bounded time.
# Usage: test.sh     (CORVANE_FUZZ_SECONDS: fuzzing time per target, default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh tests
jobs=$(nproc)
supp=$PWD/tests/sanitizers
started=$SECONDS
stage() { echo "==== $1 (at $((SECONDS - started)) s)"; }

stage "build and test"
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$jobs"
ctest --preset dev

# The ALSA sequencer path, which the machine itself lacks: one VM boot runs every ALSA check.
stage "ALSA sequencer and raw MIDI, in a VM"
ctest --preset alsa

# The same build and tests against Qt 6.
stage "Qt 6: build and test"
cmake --preset qt6 -DCORVANE_BENCH=OFF >/dev/null
cmake --build --preset qt6 -j"$jobs"
ctest --preset qt6
ctest --preset qt6-alsa

# Halting at the first error; leaks are checked, less those in lsan.supp. The preset leaves out
# the tests labelled plain-only (and the ALSA checks).
stage "AddressSanitizer + UndefinedBehaviorSanitizer: all but the plain-only tests"
cmake --preset asan -DCORVANE_BENCH=OFF >/dev/null
cmake --build --preset asan -j"$jobs"
(
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:check_initialization_order=1"
    export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    # Mesa's GL driver, which Qt's GLX integration would load under Xvfb, leaks from a module it
    # unloads before the leak check; the updater draws no OpenGL.
    export QT_XCB_GL_INTEGRATION=none
    ctest --preset asan
)

# The tests where threads meet: replies taken across threads, the simulated device, and whole
# updates over JACK (tst_receive and tst_codec run on one thread: nothing for it to judge). Long
# JACK periods leave the slowed clients time.
stage "ThreadSanitizer: threaded and end-to-end tests"
cmake --preset tsan -DCORVANE_BENCH=OFF >/dev/null
cmake --build --preset tsan -j"$jobs"
(
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp"
    export CORVANE_JACK_PERIOD=1024
    ctest --preset tsan -R '^(tst_threads|tst_devicesim|tst_endtoend|tst_faults)$'
)

stage "fuzzing"
./scripts/fuzz.sh "${CORVANE_FUZZ_SECONDS:-60}"
stage "done"
