# Sourced by a shell test as its first step, before it reads its arguments: outside, it runs
# the test again in a private network namespace of its own (the test brings loopback up), or
# exits 77 (skipped) where the machine cannot make one.
#   . "$(dirname "$(realpath "$0")")/../support/private_net.sh"
if [ "${NIMBO_PRIVATE_NET:-}" != 1 ]; then
  python3 "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/netns.py" check || exit $?
  NIMBO_PRIVATE_NET=1 exec unshare -n "$0" "$@"
fi
