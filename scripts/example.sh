#!/bin/sh
# Set-up, build, and a trial run of the daemon on the bundled example configuration, with
# stand-in backup programs: scripts/example.sh [seconds]  (without seconds: until Ctrl-C).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh
scripts/build.sh build
bin=$top/build/bin
run=$top/example/run
mkdir -p "$run"
# The example plus a once job a little in the future.
cfg=$run/vrk_sched.cfg
cp example/vrk_sched.cfg "$cfg"
printf '\n# Runs once, about 90 seconds after the start.\n[once-check]\ncommand = verify\nonce = %s\nargs = --print once\n' \
  "$(date -d '+90 seconds' '+%Y-%m-%dT%H:%M:%S')" >>"$cfg"
export PATH="$top/tests/standins:$PATH"
opts="--config $cfg --queue $run/queue.state --no-syslog --log-path $run/log"
jobopts="--job-log-dir $run/jobs"
$bin/vrk_sched --selftest
$bin/vrk_sched validate $opts
# One job at once, in the foreground, then the listing.
$bin/vrk_sched run weekly-scrub $opts $jobopts
$bin/vrk_sched list $opts
cat <<MSG

The daemon now runs the example jobs with stand-in programs (tests/standins).
Look at it from another terminal:
  $bin/vrk_sched list $opts
  ls $run/jobs/*/            (one job log per run; cat one of them)
  cat $run/log/sched.log     (the run log)
Stop it with Ctrl-C (or SIGTERM); a running job is allowed to finish first.

MSG
if [ $# -ge 1 ]; then
  $bin/vrk_sched daemon $opts $jobopts &
  pid=$!
  sleep "$1"
  kill -TERM $pid
  wait $pid || true
  $bin/vrk_sched list $opts
else
  exec $bin/vrk_sched daemon $opts $jobopts
fi
