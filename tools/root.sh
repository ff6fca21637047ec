# The Debian testing build root: creating it with debootstrap, installing the package
# list of ./dev into it, and running commands inside it. Sourced by ./dev on the host, so
# it uses its say, die, TOP, ROOT_DIR, ROOT_PACKAGES, STAMP and STAMP_TEXT.
# shellcheck shell=bash disable=SC2016  # the inline scripts get their values as arguments

# run_chrooted ROOT ARGV... : run ARGV inside ROOT, at /src (the checkout), with a clean
# environment. Everything is mounted in a private mount namespace that disappears with
# the command, so nothing stays mounted on the host.
run_chrooted() {
  local root=$1; shift
  local -a envv=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
                 LANG=C.UTF-8 TERM="${TERM:-dumb}" QUILLMERE_IN_ROOT=1 debian_chroot=py314-root)
  [[ -n ${CI:-} ]] && envv+=(CI="$CI")
  local v
  for v in $(compgen -e); do
    case $v in
      QUILLMERE_ROOT | QUILLMERE_ENV | QUILLMERE_IN_ROOT) ;;
      QUILLMERE_* | PYTEST_ADDOPTS | DEBIAN_FRONTEND) envv+=("$v=${!v}") ;;
    esac
  done
  mkdir -p "$root/src"
  unshare -m -- /bin/bash -ec '
    root=$1 src=$2; shift 2
    mount --make-rprivate /
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    if [[ -d $root/dev/shm ]]; then mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"; fi
    mount --rbind /sys "$root/sys"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmp "$root/tmp"
    mount --bind "$src" "$root/src"
    exec chroot "$root" /usr/bin/env -i "$@"
  ' dev-ns "$root" "$TOP" "${envv[@]}" /bin/bash -c 'cd /src && exec "$@"' dev-cmd "$@"
}

# apt-get install the package list into ROOT (also used for a freshly bootstrapped one).
install_packages() {
  local root=$1 log=$2
  rm -f "$root/etc/resolv.conf"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  # Follow the host's apt on Release expiry (a host served by a frozen snapshot of the
  # archive turns the check off, and so must the root).
  local cvu=
  command -v apt-config >/dev/null && eval "$(apt-config shell cvu Acquire::Check-Valid-Until)"
  if [[ $cvu == false ]]; then
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99quillmere-host"
  else
    rm -f "$root/etc/apt/apt.conf.d/99quillmere-host"
  fi
  if [[ ! -e $root/usr/sbin/policy-rc.d ]]; then  # never start services inside the root
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod +x "$root/usr/sbin/policy-rc.d"
  fi
  if ! DEBIAN_FRONTEND=noninteractive run_chrooted "$root" /bin/sh -ec '
        apt-get update
        apt-get install -y --no-install-recommends -o Dpkg::Options::=--force-unsafe-io "$@"
        apt-get clean' apt "${ROOT_PACKAGES[@]}" >>"$log" 2>&1 </dev/null; then
    tail -n 30 "$log" >&2
    die "installing packages into $root failed (full log: $log)"
  fi
  printf '%s\n' "$STAMP_TEXT" >"$root/etc/quillmere-root.packages"
}

ensure_debootstrap() {
  command -v debootstrap >/dev/null && return
  command -v apt-get >/dev/null || die "debootstrap is missing and there is no apt-get to install it"
  say "installing debootstrap on the host"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap debian-archive-keyring >/dev/null
}

ensure_root() {
  # Fast path: the root is complete and has every package of the list.
  if [[ -f $STAMP && $(<"$STAMP") == "$STAMP_TEXT" ]]; then return; fi
  [[ $(id -u) == 0 ]] || die "setting up the build root needs root: sudo ./dev ${CMD:-root}"
  [[ ! -f /etc/quillmere-root.packages ]] || die "this is already the build root: QUILLMERE_ENV=root makes no sense here"
  mkdir -p "$(dirname "$ROOT_DIR")"
  local lock
  exec {lock}>"$ROOT_DIR.lock"
  if ! flock -n "$lock"; then
    say "waiting for another ./dev to finish setting up $ROOT_DIR"
    flock "$lock"
    if [[ -f $STAMP && $(<"$STAMP") == "$STAMP_TEXT" ]]; then exec {lock}>&-; return; fi
  fi
  # Leftovers of an interrupted creation (nobody else holds the lock, so they are stale).
  local t
  for t in "$ROOT_DIR".tmp.*; do
    [[ -e $t ]] || continue
    if findmnt -rn -o TARGET | grep -qF -- "$t"; then die "$t still has mounts; unmount them first"; fi
    say "removing the unfinished build root $t"
    rm -rf --one-file-system -- "$t"
  done
  local log=$ROOT_DIR.log
  if [[ ! -e $ROOT_DIR ]]; then
    ensure_debootstrap
    say "creating the Python 3.14 build root in $ROOT_DIR (about two minutes)…"
    local tmp=$ROOT_DIR.tmp.$$ start=$SECONDS
    : >"$log"
    # In a private mount namespace, so that mounts debootstrap makes die with it.
    if ! unshare -m -- /bin/sh -c 'mount --make-rprivate / && exec "$@"' dev-ns \
        debootstrap --variant=minbase --verbose testing "$tmp" >>"$log" 2>&1 </dev/null; then
      tail -n 30 "$log" >&2
      die "debootstrap failed (full log: $log)"
    fi
    say "base system ready after $((SECONDS - start)) s; installing the build packages…"
    install_packages "$tmp" "$log"
    mv -T -- "$tmp" "$ROOT_DIR"
    say "build root ready after $((SECONDS - start)) s"
  else
    if [[ ! -f $STAMP ]]; then
      [[ -x $ROOT_DIR/usr/bin/python3.14 && -f $ROOT_DIR/usr/include/python3.14/Python.h ]] \
        || die "$ROOT_DIR exists but is no complete build root: remove it, or set QUILLMERE_ROOT"
    fi
    say "updating the packages of the build root $ROOT_DIR…"
    : >"$log"
    install_packages "$ROOT_DIR" "$log"
  fi
  exec {lock}>&-
}
