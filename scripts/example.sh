#!/bin/sh
# Set-up, build, and a trial run on the bundled example configuration.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh
scripts/build.sh build
run=example/run
mkdir -p "$run"
bin=build/bin
log="--no-syslog --log-path $run/log"
$bin/vrk_sched --selftest
$bin/vrk_sched_net --selftest
$bin/vrk_sched validate --config example/vrk_sched.cfg $log
