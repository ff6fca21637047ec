# Debian roots: the testing build root, an old release's root for the load test on an
# old glibc, and an arm64 root that runs under emulation (tools/aarch64.sh). Creating them
# with debootstrap, installing their package lists, and running commands inside them.
# Sourced by ./dev on the host, so it uses its say, die, TOP, ROOT_DIR and ROOT_PACKAGES.
# shellcheck shell=bash disable=SC2016  # the inline scripts get their values as arguments

# run_chrooted [--bind HOSTDIR:DIR] ROOT ARGV... : run ARGV inside ROOT, at /src (the
# checkout), with a clean environment; --bind shows HOSTDIR, read-only, at DIR in ROOT.
# Everything is mounted in a private mount namespace that disappears with the command, so
# nothing stays mounted on the host.
run_chrooted() {
  local bind=
  if [[ $1 == --bind ]]; then bind=$2; shift 2; fi
  local root=$1; shift
  local -a envv=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
                 LANG=C.UTF-8 TERM="${TERM:-dumb}" QUILLMERE_IN_ROOT=1 debian_chroot=quillmere-root)
  [[ -n ${CI:-} ]] && envv+=(CI="$CI")
  local v
  for v in $(compgen -e); do
    case $v in
      QUILLMERE_ROOT | QUILLMERE_ENV | QUILLMERE_IN_ROOT) ;;
      QUILLMERE_* | PYTEST_ADDOPTS | DEBIAN_FRONTEND) envv+=("$v=${!v}") ;;
    esac
  done
  mkdir -p "$root/src"
  [[ -z $bind ]] || mkdir -p "$root/${bind#*:}"
  unshare -m -- /bin/bash -ec '
    root=$1 src=$2 bind=$3; shift 3
    mount --make-rprivate /
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    if [[ -d $root/dev/shm ]]; then mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"; fi
    mount --rbind /sys "$root/sys"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmp "$root/tmp"
    mount --bind "$src" "$root/src"
    if [[ -n $bind ]]; then
      mount --bind "${bind%%:*}" "$root/${bind#*:}"
      mount -o remount,bind,ro "$root/${bind#*:}"
    fi
    exec chroot "$root" /usr/bin/env -i "$@"
  ' dev-ns "$root" "$TOP" "$bind" "${envv[@]}" /bin/bash -c 'cd /src && exec "$@"' dev-cmd "$@"
}

# install_packages ROOT LOG SUITE PACKAGE... : apt-get install the packages into ROOT (also
# used for a freshly bootstrapped one).
install_packages() {
  local root=$1 log=$2 suite=$3; shift 3
  rm -f "$root/etc/resolv.conf"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  # Follow the host's apt on Release expiry (a host served by a frozen snapshot of the
  # archive turns the check off, and so must the root). An old release's Release files are
  # past their date for good.
  local cvu=
  command -v apt-config >/dev/null && eval "$(apt-config shell cvu Acquire::Check-Valid-Until)"
  if [[ $cvu == false || $suite != testing ]]; then
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
        apt-get clean' apt "$@" >>"$log" 2>&1 </dev/null; then
    tail -n 30 "$log" >&2
    die "installing packages into $root failed (full log: $log)"
  fi
  # What the root has now: what it had, and these. Two commands that ask one root for
  # different lists (./dev test, ./dev aarch64) then both find what they need.
  local -a have=()
  [[ -f $root/etc/quillmere-root.packages ]] && read -ra have <"$root/etc/quillmere-root.packages"
  printf '%s\n' "$(printf '%s\n' "${have[@]}" "$@" | awk 'NF && !seen[$0]++' | paste -sd' ')" \
    >"$root/etc/quillmere-root.packages"
}

# root_has ROOT PACKAGE... : whether every PACKAGE was installed into ROOT.
root_has() {
  local stamp=$1/etc/quillmere-root.packages; shift
  [[ -f $stamp ]] || return 1
  local have
  have=" $(<"$stamp") "
  local package
  for package; do [[ $have == *" $package "* ]] || return 1; done
}

ensure_debootstrap() {
  command -v debootstrap >/dev/null && return
  command -v apt-get >/dev/null || die "debootstrap is missing and there is no apt-get to install it"
  say "installing debootstrap on the host"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap debian-archive-keyring >/dev/null
}

ensure_root() { ensure_debian_root "$ROOT_DIR" testing "${ROOT_PACKAGES[@]}"; }

# ensure_debian_root [--arch ARCH] DIR SUITE PACKAGE... : DIR holds a root of Debian SUITE
# (for ARCH, default the host's) with every PACKAGE, created or completed now if it does
# not. A foreign ARCH needs its emulator registered with binfmt_misc first.
ensure_debian_root() {
  local arch=
  if [[ $1 == --arch ]]; then arch=$2; shift 2; fi
  local dir=$1 suite=$2; shift 2
  local stamp=$dir/etc/quillmere-root.packages
  # Fast path: the root is complete and has every package of the list.
  if root_has "$dir" "$@"; then return; fi
  [[ $(id -u) == 0 ]] || die "setting up $dir needs root: sudo ./dev ${CMD:-root}"
  [[ ! -f /etc/quillmere-root.packages ]] || die "this is already the build root: QUILLMERE_ENV=root makes no sense here"
  mkdir -p "$(dirname "$dir")"
  local lock
  exec {lock}>"$dir.lock"
  if ! flock -n "$lock"; then
    say "waiting for another ./dev to finish setting up $dir"
    flock "$lock"
    if root_has "$dir" "$@"; then exec {lock}>&-; return; fi
  fi
  # Leftovers of an interrupted creation (nobody else holds the lock, so they are stale).
  local t
  for t in "$dir".tmp.*; do
    [[ -e $t ]] || continue
    if findmnt -rn -o TARGET | grep -qF -- "$t"; then die "$t still has mounts; unmount them first"; fi
    say "removing the unfinished root $t"
    rm -rf --one-file-system -- "$t"
  done
  local log=$dir.log
  if [[ ! -e $dir ]]; then
    ensure_debootstrap
    local tmp=$dir.tmp.$$ start=$SECONDS
    local -a foreign=()
    if [[ -n $arch ]]; then
      say "creating the Debian $suite $arch root in $dir (about five minutes, under emulation)…"
      # The packages are unpacked here; their scripts run in the second stage, in the root.
      foreign=(--arch="$arch" --foreign)
    else
      say "creating the Debian $suite root in $dir (about two minutes)…"
    fi
    : >"$log"
    # In a private mount namespace, so that mounts debootstrap makes die with it.
    local -a private=(unshare -m -- /bin/sh -c 'mount --make-rprivate / && exec "$@"' dev-ns)
    if ! "${private[@]}" debootstrap "${foreign[@]}" --variant=minbase --verbose "$suite" "$tmp" \
          >>"$log" 2>&1 </dev/null ||
       ! { [[ -z $arch ]] || "${private[@]}" chroot "$tmp" /debootstrap/debootstrap --second-stage \
             >>"$log" 2>&1 </dev/null; }; then
      tail -n 30 "$log" >&2
      die "debootstrap failed (full log: $log)"
    fi
    say "base system ready after $((SECONDS - start)) s; installing the packages…"
    install_packages "$tmp" "$log" "$suite" "$@"
    mv -T -- "$tmp" "$dir"
    say "root ready after $((SECONDS - start)) s"
  else
    if [[ ! -f $stamp && ! -x $dir/usr/bin/apt-get ]]; then
      die "$dir exists but is no Debian root: remove it, or set QUILLMERE_ROOT"
    fi
    say "updating the packages of the root $dir…"
    : >"$log"
    install_packages "$dir" "$log" "$suite" "$@"
  fi
  exec {lock}>&-
}
