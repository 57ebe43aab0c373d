# 64-bit ARM, for the scripts in this folder: source it.  Debian ships arm64
# builds of CPython 3.11 (bookworm) and 3.13, 3.14, 3.15 (sid); no single
# release carries both, so there are two arm64 trees, run here through the
# kernel's binfmt support and Debian's qemu-user-static (scripts/arm64-tree).

ARM64_VERSIONS=(3.11 3.13 3.14 3.15)
ARM64_SUITES=(bookworm sid)

# qemu's default CPU (max) authenticates pointers with the QARMA cipher, which
# makes code built with branch protection, as sid's is, some 15 times slower
# still under emulation (2.0e6 squares: 15.8 s against 1.4 s).  Its
# implementation-defined algorithm keeps the checks, at a fraction of the cost.
export QEMU_CPU=${QEMU_CPU:-max,pauth-impdef=on}

arm64_suite() {  # arm64_suite VERSION: prints the Debian release that ships it
  case "$1" in
    3.11) echo bookworm ;;
    3.13 | 3.14 | 3.15) echo sid ;;
    *) echo "no arm64 build of CPython $1 in Debian (only ${ARM64_VERSIONS[*]})" >&2; return 1 ;;
  esac
}

arm64_tree() {  # arm64_tree SUITE: prints the tree's folder
  case "$1" in
    bookworm) echo "${QUORVAN_ARM64_BOOKWORM_TREE:-$ROOT/build/arm64-bookworm}" ;;
    sid) echo "${QUORVAN_ARM64_SID_TREE:-$ROOT/build/arm64-sid}" ;;
    *) echo "no arm64 tree for $1 (only ${ARM64_SUITES[*]})" >&2; return 1 ;;
  esac
}

arm64_packages() {  # arm64_packages SUITE: prints what its tree holds, one a line
  local v
  for v in "${ARM64_VERSIONS[@]}"; do
    [ "$(arm64_suite "$v")" = "$1" ] && printf '%s\n' "python$v" "python$v-dev" "python$v-venv"
  done
  # bookworm's python3.11-venv needs python3.11-distutils, which only this provides
  # (debootstrap does not resolve provided names).
  [ "$1" != bookworm ] || echo python3-distutils
  echo ca-certificates
}

# Programs for arm64 run here through binfmt_misc, with qemu's interpreter
# registered with the F flag (opened once, so it need not exist in the tree).
# binfmt_misc stays mounted: it is the kernel's, as on any Debian system.
arm64_binfmt() {
  local entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
  if [ "$(cat "$entry" 2>/dev/null | head -n 1)" = enabled ]; then
    return 0
  fi
  if ! command -v update-binfmts >/dev/null 2>&1 || [ ! -e /usr/share/binfmts/qemu-aarch64 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      qemu-user-static binfmt-support >/dev/null
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
  [ "$(head -n 1 "$entry" 2>/dev/null)" = enabled ] \
    || { echo "arm64: could not register qemu-aarch64 with binfmt_misc" >&2; return 1; }
}
