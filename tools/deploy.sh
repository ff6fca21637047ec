# ./dev deploy: the deployment recipes of the docs (examples/deploy/) run against the real
# gunicorn, uWSGI, Prometheus and perf from Debian's packages (tests/deploy/).
# Sourced by ./dev in the environment, so it uses its say, die, PY and with_module.
# shellcheck shell=bash

# deploy_main DIR [PYTEST-ARGS...]: the tests with DIR's module. The servers listen on the
# fixed ports the recipes name, so the run gets a network namespace of its own, with only a
# loopback interface, where nothing else on the machine can hold them; the namespace and
# whatever listens in it go with the run.
deploy_main() {
  local dir=$1; shift
  local -a isolate=()
  if unshare --net -- true 2>/dev/null; then
    isolate=(unshare --net -- /bin/sh -ec 'ip link set lo up && exec "$@"' deploy-net)
  else
    say "no network namespace here (needs root): the recipes' ports must be free on this machine"
  fi
  say "deployment recipes (tests/deploy) with $PY"
  local rc=0
  with_module "$dir" "${isolate[@]}" "$PY" -m pytest -q -p no:cacheprovider tests/deploy "$@" \
    || rc=$?
  ((rc != 5)) || die "pytest ran no test"
  ((rc == 0)) || die "deployment tests failed (pytest exit $rc)"
  say "deployment recipes passed"
}
