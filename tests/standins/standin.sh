#!/bin/sh
# Stand-in for the backup suite's programs in tests and the example run. It prints its name and
# arguments, appends them to $VRK_STANDIN_RECORD when that is set, and understands a few options
# of its own anywhere in its arguments:
#   --sleep <s>       sleep that long (in one-second steps, so SIGTERM is seen promptly)
#   --exit <n>        exit with status n (default 0)
#   --print <text>    print text as one more output line
#   --ignore-term     ignore SIGTERM (otherwise SIGTERM prints a line and exits 143)
#   --stdin           print what standard input is ("stdin: <target>", or "stdin: closed")
name=$(basename "$0")
sleep_s=0
status=0
ignore=0
printf '%s' "$name"
for a in "$@"; do printf ' [%s]' "$a"; done
printf '\n'
if [ -n "${VRK_STANDIN_RECORD:-}" ]; then
  { printf '%s' "$name"; for a in "$@"; do printf '\t%s' "$a"; done; printf '\n'; } \
    >>"$VRK_STANDIN_RECORD"
fi
while [ $# -gt 0 ]; do
  case "$1" in
    --sleep) sleep_s=$2; shift ;;
    --exit) status=$2; shift ;;
    --print) printf '%s\n' "$2"; shift ;;
    --ignore-term) ignore=1 ;;
    --stdin) printf 'stdin: '; readlink "/proc/$$/fd/0" 2>/dev/null || echo closed ;;
  esac
  shift
done
if [ "$ignore" = 1 ]; then
  trap '' TERM
else
  trap 'echo "$name: terminated"; exit 143' TERM
fi
i=0
while [ "$i" -lt "$sleep_s" ]; do
  sleep 1 &
  wait $!
  i=$((i + 1))
done
exit "$status"
