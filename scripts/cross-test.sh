#!/usr/bin/env bash
# Cross-builds panelcfg for other Debian architectures and runs its tests there under qemu-user:
# for each architecture (default: arm64 armhf s390x) a sysroot unpacked from the target's
# packages into build/cross-ARCH/sysroot (nothing of the target is installed on this machine),
# the release preset's settings (warnings are errors) in build/cross-ARCH, the whole suite under
# the emulator, and the simulator's output, trace and saved state compared with the host
# build's, byte for byte but for the random serial numbers.
# Usage: cross-test.sh [ARCH]...
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

archs=("$@")
[ "${#archs[@]}" -gt 0 ] || archs=(arm64 armhf s390x)
for arch in "${archs[@]}"; do
  case "$arch" in
  arm64 | armhf | s390x) ;;
  *)
    echo "cross-test.sh: unknown architecture '$arch' (arm64, armhf, s390x)" >&2
    exit 2
    ;;
  esac
done

bash scripts/install-deps.sh --cross

# What a target needs from its packages: the development files of the dependencies and the
# test tools, and at run time their libraries and umockdev's preload library. The C library,
# the GCC runtime and libstdc++ come from the cross toolchain instead, and the dependencies'
# own programs are not needed.
roots=(libusb-dev libinih-dev nlohmann-json3-dev libgtest-dev libumockdev-dev umockdev)
toolchain_provides='^(libc6|libc6-dev|libgcc-s1|libstdc\+\+6|libstdc\+\+-[0-9]+-dev|gcc-[0-9]+-base|libcrypt1|libcrypt-dev|linux-libc-dev)$'

triplet_of() {
  case "$1" in
  arm64) echo aarch64-linux-gnu ;;
  armhf) echo arm-linux-gnueabihf ;;
  s390x) echo s390x-linux-gnu ;;
  esac
}
qemu_of() {
  case "$1" in
  arm64) echo aarch64 ;;
  armhf) echo arm ;;
  s390x) echo s390x ;;
  esac
}

# The test programs start the target's programs themselves (the simulator, panelcfg under
# umockdev) and the shell tests run them too: the kernel hands them to qemu through binfmt_misc,
# as qemu-user-static registers it on an installed system. Where nothing registered it (a
# container without systemd), it is registered here from qemu-user-static's own entry, and
# removed again when the script ends, as is the file system if it was mounted here; entries
# that were there before stay as they are. Returns non-zero when that is not possible.
binfmt_dir=/proc/sys/fs/binfmt_misc
binfmt_mounted=0
binfmt_added=()
binfmt_ready() {
  local qemu=$1
  if [ ! -e "$binfmt_dir/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt_dir" 2>/dev/null || return 1
    binfmt_mounted=1
  fi
  if [ ! -e "$binfmt_dir/qemu-$qemu" ]; then
    [ -r "/usr/lib/binfmt.d/qemu-$qemu.conf" ] || return 1
    grep -v '^#' "/usr/lib/binfmt.d/qemu-$qemu.conf" >"$binfmt_dir/register" 2>/dev/null || return 1
    [ -e "$binfmt_dir/qemu-$qemu" ] || return 1
    binfmt_added+=("qemu-$qemu")
  fi
  grep -qx enabled "$binfmt_dir/qemu-$qemu" 2>/dev/null
}
# shellcheck disable=SC2317 # run by the EXIT trap
binfmt_restore() {
  local entry
  for entry in "${binfmt_added[@]}"; do
    if echo -1 >"$binfmt_dir/$entry" 2>/dev/null; then
      echo "cross-test.sh: removed the binfmt_misc entry $entry registered for the tests"
    else
      echo "cross-test.sh: cannot remove the binfmt_misc entry $entry" >&2
    fi
  done
  binfmt_added=()
  if [ "$binfmt_mounted" -eq 1 ]; then
    umount "$binfmt_dir" 2>/dev/null || echo "cross-test.sh: cannot unmount $binfmt_dir" >&2
    binfmt_mounted=0
  fi
}
trap binfmt_restore EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# A private apt state for the target architecture under the build tree: the machine's sources,
# the target's package lists, no installed packages, the machine's own apt untouched.
apt_for() {
  local arch=$1 dir=$2
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
  [ -e "$dir/status" ] || : >"$dir/status"
  apt_opts=(-o "APT::Architecture=$arch" -o "APT::Architectures=$arch"
    -o "Dir::State=$dir" -o "Dir::State::Lists=$dir/lists" -o "Dir::State::status=$dir/status"
    -o "Dir::Cache=$dir/cache" -o Debug::NoLocking=true -o APT::Sandbox::User="$(id -un)"
    -o Acquire::Languages=none)
}

# The packages to unpack: the roots and, transitively, the libraries they depend on.
package_closure() {
  local -A seen=()
  local todo=("${roots[@]}") next p
  while [ "${#todo[@]}" -gt 0 ]; do
    next=()
    for p in "${todo[@]}"; do
      [ -z "${seen[$p]:-}" ] || continue
      seen[$p]=1
      echo "$p"
    done
    while read -r p; do
      [[ "$p" =~ ^(lib|zlib) ]] || continue
      [[ ! "$p" =~ -(bin|dev-bin|doc|tools|data)$ ]] || continue
      [[ ! "$p" =~ $toolchain_provides ]] || continue
      [ -n "${seen[$p]:-}" ] || next+=("$p")
    done < <(apt-cache "${apt_opts[@]}" depends --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances "${todo[@]}" |
      sed -n 's/^ *|\{0,1\}\(Pre\)\{0,1\}Depends: \([^<][^ ]*\)$/\2/p' | sed 's/:.*//' | sort -u)
    todo=("${next[@]}")
  done
}

make_sysroot() {
  local arch=$1 triplet=$2 loader=$3 out=$4
  local sysroot=$out/sysroot stamp=$out/sysroot/.unpacked
  if [ -e "$stamp" ] && [ "$(cat "$stamp")" = "${roots[*]}" ]; then
    echo "cross-test.sh: $arch: sysroot $sysroot already unpacked"
    return
  fi
  rm -rf "$sysroot" "$out/debs"
  mkdir -p "$sysroot" "$out/debs"
  apt_for "$arch" "$out/apt"
  # A mirror in the middle of a sync can answer with index files of the wrong size for a
  # moment: try again. An index that still fails (an update suite, say) is left out, and the
  # packages come from the indexes that did download; without any, nothing can be unpacked.
  local try
  for try in 1 2 3; do
    apt-get "${apt_opts[@]}" -qq update && break
    if [ "$try" -eq 3 ]; then
      compgen -G "$out/apt/lists/*_Packages*" >/dev/null || exit 1
      echo "cross-test.sh: $arch: going on with the package indexes that downloaded" >&2
      break
    fi
    echo "cross-test.sh: $arch: apt-get update failed, trying again in 30 s" >&2
    sleep 30
  done
  mapfile -t pkgs < <(package_closure)
  echo "cross-test.sh: $arch: unpacking ${#pkgs[@]} packages: ${pkgs[*]}"
  (cd "$out/debs" && apt-get "${apt_opts[@]}" -qq download "${pkgs[@]/%/:$arch}")
  for deb in "$out"/debs/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
  done
  # The C library, the GCC runtime and libstdc++ of the cross toolchain, where the target's
  # loader looks for them, and the loader where the target's programs name it.
  mkdir -p "$sysroot/lib/$triplet"
  cp -a "/usr/$triplet/lib"/*.so.* "$sysroot/lib/$triplet/"
  ln -sfn "$triplet/$loader" "$sysroot/lib/$loader"
  # Absolute symbolic links point into the sysroot instead, relative to themselves.
  local link target
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    [ "${target#/}" != "$target" ] || continue
    ln -sfn "$(realpath -ms --relative-to="$(dirname "$link")" "$sysroot$target")" "$link"
  done < <(find "$sysroot" -type l -print0)
  # A linker script in place of a development link (libusb.so) names the library by its
  # absolute path on the target: it becomes a link to the library in the sysroot.
  local script lib
  while IFS= read -r -d '' script; do
    head -c 4 "$script" | grep -q 'ELF' && continue
    grep -q 'GROUP\|INPUT' "$script" || continue
    mapfile -t libs < <(grep -o '/[^ )]*\.so[^ )]*' "$script")
    if [ "${#libs[@]}" -ne 1 ] || [ ! -e "$sysroot${libs[0]}" ]; then
      echo "cross-test.sh: $arch: cannot rewrite the linker script $script" >&2
      exit 1
    fi
    lib=${libs[0]}
    rm "$script"
    ln -s "$(realpath -ms --relative-to="$(dirname "$script")" "$sysroot$lib")" "$script"
  done < <(find "$sysroot/usr/lib/$triplet" -maxdepth 1 -type f -name '*.so' -print0)
  echo "${roots[*]}" >"$stamp"
}

# The host's simulator, for the comparison: the host build of scripts/test.sh, configured here
# if there is none, and brought up to date with the sources.
host_sim=$src/build/release/src/app/src/sim/panelcfg-sim
[ -e "$src/build/release/CMakeCache.txt" ] || cmake --preset release >/dev/null
cmake --build --preset release --target panelcfg-sim >/dev/null

# Runs the simulator (the command in "$@") on each word, from a fresh state, with its trace of
# every USB call and pause, into a directory of its own, and keeps in $1 the exit status,
# standard output and error, the saved state and the files written. Every run uses the same
# scratch paths, so that the host's and the target's runs can be compared byte for byte.
sim_words=(--list --mouse --digitizer --hybrid-d --hybrid-m getpos --sn --rotation --recover
  --clean --help --version)
sim_runs() {
  local keep=$1 work=$src/build/cross-sim-work i=0 word status
  shift
  rm -rf "$keep" "$work"
  mkdir -p "$keep"
  status=0
  "$@" --print-scenario >"$keep/print-scenario" 2>&1 || status=$?
  echo "status $status" >>"$keep/print-scenario"
  for word in "${sim_words[@]}"; do
    i=$((i + 1))
    mkdir -p "$work/home" "$work/dir"
    status=0
    env -u PANELCFG_SIM_SCENARIO -u PANELCFG_SIM_STATE -u PANELCFG_SIM_DIR -u PANELCFG_SIM_INSTANT \
      HOME="$work/home" "$@" --fresh --instant --trace --state "$work/state.json" \
      --dir "$work/dir" "$word" >"$work/stdout" 2>"$work/stderr" || status=$?
    echo "$word: status $status" >"$work/status"
    sim_mask "$work"
    mv "$work" "$keep/$i"
  done
}

# The utility draws a PCT controller's serial number at random when the controller has none,
# so the serial differs from run to run, on one machine too. It sits in the identity block
# (32 encoded bytes and a two-byte checksum, the sum of the encoded bytes from 0x6666 on) at
# bytes 12..19, and each encoded byte depends on its plain byte alone. In the trace (the data
# of a report from byte 8 on, byte 4 on for the older generation, which has no four zero bytes
# there) and in the saved parameter areas (from byte 0 on), every block whose checksum holds
# has its serial replaced by "<serial N>", N numbering the serials of the run in the order met,
# and its checksum by that of the other 24 bytes, "<sum LO HI>". All else is compared as it is;
# the files as written are kept beside as NAME.raw.
# shellcheck disable=SC2016 # awk's own $ fields
sim_mask_awk='
BEGIN {
  for (i = 0; i < 256; i++)
    value[sprintf("%02x", i)] = i
}
function block(b, n, at,   i, sum, serial) {
  if (at + 33 > n)
    return 0
  sum = 26214
  for (i = at; i < at + 34; i++)
    if (!(b[i] in value))
      return 0
  for (i = at; i < at + 32; i++)
    sum += value[b[i]]
  if (sum % 65536 != value[b[at + 32]] + 256 * value[b[at + 33]])
    return 0
  serial = ""
  for (i = at + 12; i < at + 20; i++) {
    serial = serial b[i]
    sum -= value[b[i]]
    b[i] = ""
  }
  if (!(serial in names))
    names[serial] = ++serials
  b[at + 12] = "<serial " names[serial] ">"
  sum %= 65536
  b[at + 32] = sprintf("<sum %02x %02x>", sum % 256, int(sum / 256))
  b[at + 33] = ""
  return 1
}
function join(b, n, sep,   i, out) {
  out = ""
  for (i = 1; i <= n; i++)
    if (b[i] != "")
      out = out (out == "" ? "" : sep) b[i]
  return out
}
FNR == 1 {
  out = FILENAME
  sub(/[.]raw$/, "", out)
}
# A trace line: vusb: DEVICE set|get BYTES... /LENGTH
$1 == "vusb:" && ($3 == "set" || $3 == "get") && $NF ~ /^[/]/ {
  n = 0
  for (f = 4; f < NF; f++)
    b[++n] = $f
  at = (b[5] b[6] b[7] b[8] == "00000000") ? 9 : 5
  if (block(b, n, at)) {
    match($0, /^vusb: +[^ ]+ +/)
    print substr($0, 1, RLENGTH) $3 " " join(b, n, " ") " " $NF > out
    next
  }
}
# A saved parameter area: "params": "HEX"
/^ *"params": "[0-9a-f]*",?$/ {
  match($0, /"[0-9a-f]*"/)
  hex = substr($0, RSTART + 1, RLENGTH - 2)
  n = length(hex) / 2
  for (i = 1; i <= n; i++)
    b[i] = substr(hex, 2 * i - 1, 2)
  if (block(b, n, 1)) {
    print substr($0, 1, RSTART) join(b, n, "") substr($0, RSTART + RLENGTH - 1) > out
    next
  }
}
{ print > out }
'
sim_mask() {
  local dir=$1 files=() f
  for f in stderr state.json; do
    [ -e "$dir/$f" ] || continue
    mv "$dir/$f" "$dir/$f.raw"
    files+=("$dir/$f.raw")
  done
  [ "${#files[@]}" -eq 0 ] || awk "$sim_mask_awk" "${files[@]}"
}

# The host's runs, twice: what the masking leaves must be the same both times, or a random
# byte would make every comparison below fail.
sim_runs "$src/build/cross-sim-host" "$host_sim"
sim_runs "$src/build/cross-sim-host-again" "$host_sim"
if ! diff -r -x '*.raw' "$src/build/cross-sim-host" "$src/build/cross-sim-host-again" \
  >"$src/build/cross-sim-host.diff"; then
  cat "$src/build/cross-sim-host.diff"
  echo "cross-test.sh: two runs of the host's simulator differ beyond the random serial numbers" >&2
  exit 1
fi

summary=()
failed=0
for arch in "${archs[@]}"; do
  triplet=$(triplet_of "$arch")
  qemu=$(qemu_of "$arch")
  case "$arch" in
  arm64) loader=ld-linux-aarch64.so.1 ;;
  armhf) loader=ld-linux-armhf.so.3 ;;
  s390x) loader=ld64.so.1 ;;
  esac
  out=$src/build/cross-$arch
  sysroot=$out/sysroot
  mkdir -p "$out"
  start=$(date +%s)
  make_sysroot "$arch" "$triplet" "$loader" "$out"

  # The release preset (warnings are errors), cross, in a build directory of its own.
  cmake --preset release -B "$out" -DCMAKE_TOOLCHAIN_FILE="$src/scripts/cross-toolchain.cmake" \
    -DPANELCFG_CROSS_TRIPLET="$triplet" -DPANELCFG_CROSS_QEMU="$qemu" \
    -DPANELCFG_CROSS_SYSROOT="$sysroot" >"$out/configure.log" || {
    cat "$out/configure.log"
    exit 1
  }
  built=$(date +%s)
  cmake --build "$out" -j2
  tested=$(date +%s)

  # The children of the tests (and the programs of the shell tests) find the target's libraries
  # through QEMU_LD_PREFIX. 32-bit programs under qemu-arm read directories of an ext4 file
  # system with 64-bit cookies they cannot hold (readdir fails with EOVERFLOW): their scratch
  # files go to a tmpfs. The VM bed (label vmbed) boots the machine's own kernel, which cannot
  # run the target's programs: it is left to the host's suite.
  skip=()
  if ! binfmt_ready "$qemu"; then
    echo "cross-test.sh: $arch: SKIPPED the tests that start the target's programs from another" \
      "process (the simulator, the real-stack runs, the shell tests): binfmt_misc cannot hand" \
      "them to qemu-$qemu here"
    skip=(-E '^(test_vusb_sim|RealStack|manpage|completion|packaging_install)')
  fi
  tmp=$(mktemp -d /dev/shm/panelcfg-cross-XXXXXX)
  chmod 1777 "$tmp" # as /tmp: the tests that become another user reach their scratch files
  status=0
  (cd "$out" && QEMU_LD_PREFIX=$sysroot TMPDIR=$tmp ctest --output-on-failure -j2 -LE vmbed \
    "${skip[@]}" \
    2>&1 | tee "$out/ctest.log") || status=$?
  rm -rf "$tmp"
  [ "$status" -eq 0 ] || failed=1
  counts=$(grep -E '^[0-9]+% tests passed' "$out/ctest.log" | tail -1)

  # The simulator prints the same, traces the same USB calls and pauses and writes the same
  # files on every architecture, the random serial numbers aside.
  emulator=qemu-$qemu-static
  command -v "$emulator" >/dev/null || emulator=qemu-$qemu
  sim_runs "$out/sim-target" "$emulator" -L "$sysroot" \
    "$out/src/app/src/sim/panelcfg-sim"
  rm -rf "$out/sim-host"
  cp -a "$src/build/cross-sim-host" "$out/sim-host"
  if (cd "$out" && diff -r -x '*.raw' sim-host sim-target) >"$out/sim.diff"; then
    sim="simulator output, trace and state as on the host (${#sim_words[@]} words)"
  else
    sim="simulator output DIFFERS from the host's (see $out/sim.diff)"
    cat "$out/sim.diff"
    failed=1
  fi
  done_at=$(date +%s)
  summary+=("$arch: sysroot+configure $((built - start)) s, build $((tested - built)) s, tests $((done_at - tested)) s; ${counts:-no test count}; $sim")
done

echo
printf 'cross-test.sh: %s\n' "${summary[@]}"
exit "$failed"
