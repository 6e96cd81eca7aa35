#!/usr/bin/env bash
# End-to-end test through a real Linux kernel: the guest driver runs inside a
# virtual machine (qemu, software emulation) whose USB mass-storage disks are
# NBD exports of the virtual enclosures, so every command crosses SG_IO, the
# sd and usb-storage drivers, the xHCI controller and qemu's SCSI disk before
# it reaches the controller model. The guest upgrades the firmware of both
# enclosures of the "two-enclosures" set-up; the second one flips a bit when
# its flash is read back. Then two pxraid processes share the first
# enclosure: one upgrades its firmware while the other runs `status` again and
# again; the claim on the disk keeps their knocks apart. Last, pxraid
# records a discovery (list) and a status read; the recordings come out over
# the console, and the same pxraid replays them here to what the guest
# printed. They are left in DIR/recordings; tests/fixtures/e2e keeps a set of
# them for the replay tests of every build.
#
#   run_e2e.sh --pxnbd PATH --driver PATH --pxraid PATH --work DIR [--cache DIR]
#
# Needs Debian's qemu-system-x86, busybox-static and cpio, and apt-get to
# fetch the kernel package (kept in the cache directory, default
# DIR/../kernel-cache; the host's /boot is never touched). Everything it
# starts is stopped by process id, and the whole run is bounded.
set -euo pipefail

readonly TIME_LIMIT=570  # seconds for the whole run; CTest allows 600
readonly SCENARIO=two-enclosures
readonly FLIP_EXPORT=2  # the striped enclosure
readonly FLIP_ADDRESS=0x7A5C
readonly FLASH_RANGE=61440
readonly STARTED=$SECONDS

pxnbd="" driver="" pxraid="" work="" cache=""
while [ $# -gt 0 ]; do
  case "$1" in
    --pxnbd) pxnbd=$2; shift 2 ;;
    --driver) driver=$2; shift 2 ;;
    --pxraid) pxraid=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    *) echo "usage: $0 --pxnbd PATH --driver PATH --pxraid PATH --work DIR [--cache DIR]" >&2; exit 2 ;;
  esac
done
if [ -z "$pxnbd" ] || [ -z "$driver" ] || [ -z "$pxraid" ] || [ -z "$work" ]; then
  echo "missing arguments" >&2
  exit 2
fi
[ -n "$cache" ] || cache="$work/../kernel-cache"

say() { printf '[e2e %3ds] %s\n' "$((SECONDS - STARTED))" "$*"; }
die() { say "ERROR: $*"; exit 1; }
remaining() { echo $((TIME_LIMIT - (SECONDS - STARTED))); }

# ---------------------------------------------------------------------------
# Processes: every one is started in the background, remembered by id, and
# stopped by id on every way out.
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  sleep 0.5
  for pid in "${pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits for a process by id until it ends or `limit` seconds pass; 1 on time-out.
wait_for_exit() {
  local pid=$1 limit=$2 start=$SECONDS
  while kill -0 "$pid" 2>/dev/null; do
    [ $((SECONDS - start)) -lt "$limit" ] || return 1
    sleep 0.2
  done
  return 0
}

for tool in qemu-system-x86_64 cpio gzip apt-get apt-cache dpkg; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh installs it)"
done
busybox=/bin/busybox
file -L "$busybox" 2>/dev/null | grep -q 'statically linked' ||
  die "$busybox is not the static busybox (package busybox-static)"
qboot=/usr/share/qemu/qboot.rom
[ -f "$qboot" ] || die "$qboot is missing (package qemu-system-data)"
file -L "$driver" | grep -q 'statically linked' || die "$driver is not statically linked"
file -L "$pxraid" | grep -q 'statically linked' || die "$pxraid is not statically linked"

rm -rf "$work"
mkdir -p "$work" "$cache"
work=$(cd "$work" && pwd)
cache=$(cd "$cache" && pwd)

# ---------------------------------------------------------------------------
# The kernel: the package linux-image-amd64 currently points at, unpacked
# into the cache; only that one is kept there. A cached kernel serves when
# the package lists cannot be read.
current_kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
fetch_kernel() {  # fetch_kernel PACKAGE
  local dir="$cache/$1"
  rm -rf "$dir"
  mkdir -p "$dir"
  (cd "$dir" && apt-get download -q "$1" >/dev/null 2>&1) || return 1
  dpkg -x "$dir"/*.deb "$dir/root" && rm -f "$dir"/*.deb && touch "$dir/unpacked"
}
kernel_package=$(current_kernel_package) || true
if [ -z "$kernel_package" ]; then
  for unpacked in "$cache"/linux-image-*-amd64/unpacked; do
    [ -f "$unpacked" ] && kernel_package=$(basename "$(dirname "$unpacked")")
  done
fi
[ -n "$kernel_package" ] || die "cannot tell which kernel package to use (apt-get update first?)"
if [ ! -f "$cache/$kernel_package/unpacked" ]; then
  say "fetching $kernel_package"
  if ! fetch_kernel "$kernel_package"; then
    # Package lists older than the archive name a kernel it no longer has.
    [ "$(id -u)" -eq 0 ] || die "apt-get download $kernel_package failed (apt-get update first?)"
    say "refreshing the package lists"
    apt-get update -qq >/dev/null 2>&1 || die "apt-get update failed"
    kernel_package=$(current_kernel_package) || true
    if [ -z "$kernel_package" ] || ! fetch_kernel "$kernel_package"; then
      die "cannot fetch the kernel package"
    fi
  fi
  for old in "$cache"/linux-image-*-amd64; do
    [ "$old" = "$cache/$kernel_package" ] || rm -rf "$old"
  done
fi
kernel_root="$cache/$kernel_package/root"
kver=$(find "$kernel_root/lib/modules" -mindepth 1 -maxdepth 1 -printf '%f\n' | head -1)
vmlinuz="$kernel_root/boot/vmlinuz-$kver"
[ -f "$vmlinuz" ] || die "no kernel image in $kernel_package"
moddir="$kernel_root/lib/modules/$kver"
# The package leaves the dependency list to depmod at install time.
[ -f "$moddir/modules.dep" ] || "$busybox" depmod -b "$kernel_root" "$kver"
say "kernel $kver"

# ---------------------------------------------------------------------------
# Modules in load order, each after what it depends on (modules.dep lists
# every dependency, direct or not). The crct10dif and crc64-rocksoft
# providers are what the CRC chain under t10-pi asks the crypto API for.
load_order=()
add_module() {
  local path=$1 dep line
  local m
  for m in "${load_order[@]}"; do [ "$m" = "$path" ] && return 0; done
  line=$(grep -m1 "^$path:" "$moddir/modules.dep") || die "module $path not in modules.dep"
  for dep in ${line#*:}; do add_module "$dep"; done
  load_order+=("$path")
}
module_path() {
  grep -m1 -oE "^[^:]*/$1\.ko(\.xz|\.zst)?:" "$moddir/modules.dep" | tr -d ':' ||
    die "module $1 not found"
}
for name in xhci-pci crct10dif_generic crc64_rocksoft_generic sd_mod sg usb-storage; do
  add_module "$(module_path "$name")"
done

initramfs="$work/initramfs"
mkdir -p "$initramfs"/{bin,dev,proc,sys,modules}
cp "$busybox" "$initramfs/bin/busybox"
for applet in sh mount insmod cat ls sleep poweroff sed wc cut dd tail base64; do ln -s busybox "$initramfs/bin/$applet"; done
: >"$initramfs/modules/order"
for path in "${load_order[@]}"; do
  base=$(basename "$path")
  case "$base" in
    *.ko.xz) xz -dc "$moddir/$path" >"$initramfs/modules/${base%.xz}" ;;
    *.ko.zst) zstd -qdc "$moddir/$path" >"$initramfs/modules/${base%.zst}" ;;
    *) cp "$moddir/$path" "$initramfs/modules/$base" ;;
  esac
  base=${base%.xz}
  base=${base%.zst}
  # A USB disk is scanned at once instead of after usb-storage's usual pause.
  params=""
  [ "$base" = usb-storage.ko ] && params="delay_use=0"
  echo "$base $params" >>"$initramfs/modules/order"
done
say "modules: $(awk '{ printf "%s ", $1 }' "$initramfs/modules/order")"
cp "$driver" "$initramfs/guest_driver"
cp "$pxraid" "$initramfs/pxraid"

# ---------------------------------------------------------------------------
# The export. It hands out the firmware file its enclosures accept.
nbd_dir="$work/nbd"
"$pxnbd" --scenario "$SCENARIO" --port 0 --out "$nbd_dir" --time-limit "$(remaining)" \
  --flip-bit "$FLIP_EXPORT:$FLIP_ADDRESS" >"$work/pxnbd.out" 2>&1 &
nbd_pid=$!
pids+=("$nbd_pid")
for _ in $(seq 50); do
  grep -q '^listening ' "$work/pxnbd.out" 2>/dev/null && break
  kill -0 "$nbd_pid" 2>/dev/null || break
  sleep 0.1
done
port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/pxnbd.out")
[ -n "$port" ] || die "pxnbd did not start: $(cat "$work/pxnbd.out")"
cp "$nbd_dir/firmware.bin" "$initramfs/firmware.bin"
say "export on 127.0.0.1:$port"

# Key=value fields of the lines both sides print; values with spaces are quoted.
val() {
  local line=$1 key=${2//./\\.}
  if [[ $line =~ (^|[[:space:]])$key=\"([^\"]*)\" ]]; then
    printf '%s' "${BASH_REMATCH[2]}"
  elif [[ $line =~ (^|[[:space:]])$key=([^[:space:]]*) ]]; then
    printf '%s' "${BASH_REMATCH[2]}"
  fi
}

declare -A export_line scenario_line
exports=() enclosures=()
while IFS= read -r line; do
  case "$line" in
    export\ *)
      e=${line#export }; e=${e%% *}
      export_line[$e]=$line
      exports+=("$e")
      [[ $line == *" enclosure "* ]] && enclosures+=("$e")
      ;;
    scenario\ *)
      e=${line#scenario }; e=${e%% *}
      scenario_line[$e]=$line
      ;;
  esac
done <"$work/pxnbd.out"
[ "${#enclosures[@]}" -eq 2 ] || die "the $SCENARIO set-up should have two enclosures"

# shellcheck disable=SC2054  # the commas are qemu's, inside one argument
qemu_args=(-accel tcg -m 512 -nographic -no-reboot -nic none -bios "$qboot"
  -kernel "$vmlinuz" -initrd "$work/initramfs.cpio.gz"
  -append "console=ttyS0 quiet panic=-1 px.disks=${#exports[@]}"
  -device qemu-xhci,id=xhci)
for e in "${exports[@]}"; do
  # qemu's SCSI disk answers INQUIRY itself; it is told the drive's texts.
  vendor=$(val "${export_line[$e]}" vendor)
  product=$(val "${export_line[$e]}" product)
  revision=$(val "${export_line[$e]}" revision)
  qemu_args+=(-drive "if=none,id=d$e,format=raw,file=nbd://127.0.0.1:$port/$e"
    -device "usb-bot,id=bot$e,bus=xhci.0"
    -device "scsi-hd,bus=bot$e.0,drive=d$e,vendor=${vendor//,/,,},product=${product//,/,,},ver=${revision//,/,,}")
done

cat >"$initramfs/init" <<'EOF'
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r module params; do
  insmod "/modules/$module" $params || echo "E2E init insmod-failed=$module"
done </modules/order
disks=$(sed -n 's/.*px\.disks=\([0-9]*\).*/\1/p' /proc/cmdline)
tries=0
while [ "$(ls -d /sys/block/sd* 2>/dev/null | wc -l)" -lt "$disks" ] && [ $tries -lt 600 ]; do
  sleep 0.1
  tries=$((tries + 1))
done
echo "E2E init disks=$(ls -d /sys/block/sd* 2>/dev/null | wc -l) uptime=$(cut -d' ' -f1 /proc/uptime)"
/guest_driver /firmware.bin
echo "E2E init driver-exit=$? uptime=$(cut -d' ' -f1 /proc/uptime)"
# One direct page-sized read per disk ends the driver's run of one-sector
# commands in the export's trace.
for disk in /dev/sd?; do dd if="$disk" of=/dev/null bs=4096 skip=4096 count=1 iflag=direct 2>/dev/null; done
# Two programs, one enclosure: an upgrade, and status runs for as long as it
# lasts.
start=$(cut -d' ' -f1 /proc/uptime)
/pxraid firmware upgrade /firmware.bin --device 1 --yes >/upgrade.out 2>&1 &
upgrade=$!
codes=""
while kill -0 "$upgrade" 2>/dev/null; do
  /pxraid status >/dev/null 2>&1
  codes="$codes,$?"
done
wait "$upgrade"
status=$?
echo "E2E concurrent upgrade-exit=$status result=\"$(sed -n 's/^\(SPI .*\)$/\1/p' /upgrade.out | tail -1)\" status-codes=${codes#,} start=$start end=$(cut -d' ' -f1 /proc/uptime)"
# Sessions through this kernel, recorded, with what pxraid printed and its
# exit status; each file goes out in base64 between marker lines.
/pxraid --record /list.jsonl list >/list.out 2>/dev/null
echo $? >/list.code
/pxraid --record /status.jsonl status --json >/status.out 2>/dev/null
echo $? >/status.code
for file in list.jsonl list.out list.code status.jsonl status.out status.code; do
  echo "E2E-FILE-BEGIN $file"
  base64 "/$file"
  echo "E2E-FILE-END $file"
done
poweroff -f
EOF
chmod +x "$initramfs/init"
(cd "$initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.cpio.gz"

# ---------------------------------------------------------------------------
# The run.
say "booting (${#exports[@]} USB disks)"
boot_start=$SECONDS
qemu-system-x86_64 "${qemu_args[@]}" </dev/null >"$work/console.log" 2>&1 &
qemu_pid=$!
pids+=("$qemu_pid")
if ! wait_for_exit "$qemu_pid" "$(($(remaining) - 20))"; then
  kill -KILL "$qemu_pid" 2>/dev/null || true
  tail -20 "$work/console.log" | tr -d '\r'
  die "the virtual machine did not power off in time"
fi
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
vm_seconds=$((SECONDS - boot_start))
wait_for_exit "$nbd_pid" 15 || kill -TERM "$nbd_pid" 2>/dev/null || true
wait_for_exit "$nbd_pid" 5 || die "pxnbd did not stop"
wait "$nbd_pid" || die "pxnbd failed: $(cat "$work/pxnbd.out")"
say "virtual machine ran ${vm_seconds}s (qemu exit $qemu_status)"

tr -d '\r' <"$work/console.log" | grep -a '^E2E ' >"$work/results.txt" || true
# The files the guest sent over the console.
recordings="$work/recordings"
mkdir -p "$recordings"
tr -d '\r' <"$work/console.log" | awk -v dir="$recordings" '
  /^E2E-FILE-BEGIN / { name = $2; printf "" > (dir "/" name ".b64"); next }
  /^E2E-FILE-END /   { close(dir "/" name ".b64"); name = ""; next }
  name != ""         { print > (dir "/" name ".b64") }'
for encoded in "$recordings"/*.b64; do
  [ -f "$encoded" ] || continue
  base64 -d "$encoded" >"${encoded%.b64}" && rm -f "$encoded"
done
trace="$nbd_dir/trace.txt"
[ -f "$trace" ] || die "no trace from pxnbd"
cat "$work/results.txt"

# ---------------------------------------------------------------------------
# Checks. Each names what it expected and what it got.
passed=0 failed=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
    say "ok   $1"
  else
    failed=$((failed + 1))
    say "FAIL $1"
    say "       expected: $2"
    say "       got:      $3"
  fi
}
result() { grep -m1 "^E2E $1" "$work/results.txt" || true; }

check "guest driver ran to its end" "E2E end" "$(result 'end')"
check "guest driver exit status" "0" "$(val "$(result 'init driver-exit')" driver-exit)"

# (a) Drives and discovery.
drives=$(result 'drives ')
check "physical drives counted" "${#exports[@]}" "$(val "$drives" count)"
declare -A export_of
for ((n = 0; n < ${#exports[@]}; n++)); do
  line=$(result "drive n=$n ")
  found=""
  for e in "${exports[@]}"; do
    if [ "$(val "$line" inquiry)" = ok ] &&
      [ "$(val "$line" vendor)" = "$(val "${export_line[$e]}" vendor)" ] &&
      [ "$(val "$line" product)" = "$(val "${export_line[$e]}" product)" ]; then
      found=$e
    fi
  done
  check "drive $n answers INQUIRY as one of the exports" "yes" "${found:+yes}"
  [ -n "$found" ] && export_of[$n]=$found
done

# Discovery lists the enclosures in drive order, drive number | 0x40.
expected_entries="" slots=()
for ((n = 0; n < ${#exports[@]}; n++)); do
  e=${export_of[$n]:-}
  if [ -z "$e" ] || [[ " ${enclosures[*]} " != *" $e "* ]]; then continue; fi
  expected_entries+="${expected_entries:+,}$(printf '0x%02X' $((0x40 | n)))"
  slots+=("$e")
done
discovery=$(result 'discovery ')
check "enclosures found" "${#enclosures[@]}" "$(val "$discovery" found)"
check "device table entries" "$expected_entries" "$(val "$discovery" entries)"

mode_code() { case $1 in 0) echo 3 ;; 1) echo 0 ;; 2) echo 1 ;; *) echo 63 ;; esac; }
port_class() { case $1 in 0 | 1) echo 2 ;; 6) echo 1 ;; 9) echo 8 ;; *) echo 4 ;; esac; }

for slot in "${!slots[@]}"; do
  e=${slots[$slot]}
  s=${scenario_line[$e]}
  device=$(result "device slot=$slot ")
  # INQUIRY's vendor and product joined by single spaces.
  check "slot $slot device name" \
    "$(val "${export_line[$e]}" vendor) $(val "${export_line[$e]}" product)" "$(val "$device" name)"
  check "slot $slot product code" "$(val "$s" product)" "$(val "$device" product)"
  # The version's first three bytes in hexadecimal, a point, the low digit.
  version=$(val "$s" version)
  check "slot $slot firmware version" "Firmware Ver. ${version:2:6}.${version:9:1}" \
    "$(val "$device" firmware)"
done

# (b) The status poll.
all_slots=$(((1 << ${#slots[@]}) - 1))
check "every enclosure answered the poll" "$(printf '0x%02X' $all_slots)" \
  "$(val "$(result 'poll ')" answered)"
for slot in "${!slots[@]}"; do
  e=${slots[$slot]}
  s=${scenario_line[$e]}
  status=$(result "status slot=$slot ")
  mode=$(mode_code "$(val "$s" mode)")
  check "slot $slot array mode" "$mode" "$(val "$status" mode)"
  flags=$(($(port_class "$(val "$s" p0.state)") | $(port_class "$(val "$s" p1.state)") << 4))
  check "slot $slot port flags" "$(printf '0x%02X' $flags)" "$(val "$status" flags)"
  for p in p0 p1; do
    for f in model serial sectors; do
      check "slot $slot $p $f" "$(val "$s" $p.$f)" "$(val "$status" $p.$f)"
    done
  done
  # A mirror is as large as the controller says; other modes twice the
  # smaller member.
  p0=$(val "$s" p0.sectors) p1=$(val "$s" p1.sectors)
  if [ "$mode" = 1 ]; then volume=$(val "$s" progress.total); else
    volume=$((2 * (p0 < p1 ? p0 : p1)))
  fi
  check "slot $slot volume capacity" "$volume" "$(val "$status" volume)"
done

# (c) The settings sector, written to the first enclosure.
settings=$(result 'settings ')
check "settings sector written" "1" "$(val "$settings" written)"
controls=$(grep "^control export=${slots[0]} " "$trace" || true)
check "one control sector reached the enclosure" "1" "$(printf '%s' "$controls" | grep -c . || true)"
check "control sector: signature, request, backup, period, sum" \
  "signature=1 request=0x20 backup=$(val "$settings" backup) period=$(val "$settings" period) sum=1" \
  "signature=$(val "$controls" signature) request=$(val "$controls" request) backup=$(val "$controls" backup) period=$(val "$controls" period) sum=$(val "$controls" sum)"
check "control sector sum as stored" "$(val "$controls" computed)" "$(val "$controls" stored)"
for e in "${slots[@]:1}"; do
  check "no control sector at export $e" "0" "$(grep -c "^control export=$e " "$trace" || true)"
done

# (d) The upgrades.
for slot in "${!slots[@]}"; do
  e=${slots[$slot]}
  load=$(result "load slot=$slot ")
  check "slot $slot firmware file accepted" "length=$FLASH_RANGE box=" \
    "length=$(val "$load" length) box=$(val "$load" box)"
  upgrade=$(result "upgrade slot=$slot ")
  if [ "$e" = "$FLIP_EXPORT" ]; then
    expected='panel=SPI Verify fail !!! box=Message progress=975'
  else
    expected='panel=SPI Verify OK box=Firmware Upgrade Message progress=975'
  fi
  check "slot $slot upgrade result" "$expected" \
    "panel=$(val "$upgrade" panel) box=$(val "$upgrade" box) progress=$(val "$upgrade" progress)"
  # The flipped bit is only on read-back: both flashes hold the image.
  check "slot $slot flash holds the image byte for byte" "same" \
    "$(cmp -n "$FLASH_RANGE" "$nbd_dir/firmware.bin" "$nbd_dir/flash-$e.bin" >/dev/null 2>&1 &&
      echo same || echo differs)"
done

# Every one-sector READ(10)/WRITE(10) the guest driver sent reached the export
# as one 512-byte request, in order, with nothing added after the kernel's
# attach.
for ((n = 0; n < ${#exports[@]}; n++)); do
  e=${export_of[$n]:-}
  [ -n "$e" ] || continue
  guest=$(result "transfers drive=$n ")
  # The driver's run is the one before pxraid's, which follow the boundary.
  host=$(grep "^transfers export=$e " "$trace" | tail -n 2 | head -n 1 || true)
  check "drive $n: no multi-sector or failed commands from the guest" "multi=0 failed=0" \
    "multi=$(val "$guest" multi) failed=$(val "$guest" failed)"
  check "drive $n: one-sector commands as sent = as received (count, digest)" \
    "$(val "$guest" sectors) $(val "$guest" digest)" "$(val "$host" sectors) $(val "$host" digest)"
done

# The knocks each enclosure recognised, in order, and nothing else: any read
# of the kernel's at attach mistaken for part of a knock would add or spoil
# one.
knock() {  # knock EXPORT HEADER COMMAND FORM
  echo "knock export=$1 header=$2 command=$3 form=$4 carried=1 replied=1 status=0x20"
}
for slot in "${!slots[@]}"; do
  e=${slots[$slot]}
  {
    knock "$e" 0004EFFF 10CFDFEF short
    knock "$e" 0004EFFF 11CFDFEF short
    knock "$e" 0004EFFF 17CFDFEF short
    [ "$(mode_code "$(val "${scenario_line[$e]}" mode)")" = 1 ] && knock "$e" 0004EFFF 15CFDFEF short
    # The poll asks for the revision bytes again, then the status.
    knock "$e" 0004EFFF 11CFDFEF short
    knock "$e" 0004EFFF 17CFDFEF short
    for ((page = 0; page < FLASH_RANGE / 128; page += 32)); do
      knock "$e" 0005EFFF "$(printf '2301%04X' $page)" short
    done
    for ((page = 0; page < FLASH_RANGE / 128; page++)); do
      knock "$e" 0105EFFF "$(printf '2501%04X' $page)" long
    done
    for ((page = 0; page < FLASH_RANGE / 128; page++)); do
      knock "$e" 0004EFFF "$(printf '2001%04X' $page)" short
    done
  } >"$work/knocks-expected-$e.txt"
  # The guest driver's part of the trace; pxraid's processes come after.
  grep "^knock export=$e " "$trace" | sed 's/ n=[0-9]*//' |
    head -n "$(wc -l <"$work/knocks-expected-$e.txt")" >"$work/knocks-$e.txt" || true
  check "export $e: knocks recognised, in order ($(wc -l <"$work/knocks-expected-$e.txt") expected)" \
    "same" "$(cmp -s "$work/knocks-expected-$e.txt" "$work/knocks-$e.txt" && echo same ||
      echo "differs, see $work/knocks-$e.txt")"
  check "export $e: frames dropped for their checksum" "0" \
    "$(val "$(grep -m1 "^bad-checksums export=$e " "$trace")" count)"
done

# (e) Two pxraid processes on the first enclosure: the upgrade got it whole,
# and every status run either read it or said another program held it.
concurrent=$(result 'concurrent ')
e=${slots[0]}
check "concurrent upgrade: exit status and last stage" "0 SPI Verify OK" \
  "$(val "$concurrent" upgrade-exit) $(val "$concurrent" result)"
codes=$(val "$concurrent" status-codes)
check "concurrent status runs exit 0 or 3" "yes" \
  "$([ -n "$codes" ] && ! tr ',' '\n' <<<"$codes" | grep -qvx '[03]' && echo yes || echo "no: $codes")"
check "some status run found the enclosure busy" "yes" \
  "$(tr ',' '\n' <<<"$codes" | grep -qx 3 && echo yes || echo "no: $codes")"
check "slot 0 flash holds the image after the concurrent upgrade" "same" \
  "$(cmp -n "$FLASH_RANGE" "$nbd_dir/firmware.bin" "$nbd_dir/flash-$e.bin" >/dev/null 2>&1 &&
    echo same || echo differs)"
# From its first erase to its last read the upgrade's knocks follow each
# other with nothing of the status runs in between.
grep "^knock export=$e " "$trace" | sed 's/ n=[0-9]*//' |
  tail -n +"$(($(wc -l <"$work/knocks-expected-$e.txt") + 1))" >"$work/knocks-concurrent-$e.txt"
first_erase=$(grep -n -m1 ' command=23010000 ' "$work/knocks-concurrent-$e.txt" | cut -d: -f1)
sed -n '/ header=0005EFFF command=23010000 /,$p' "$work/knocks-expected-$e.txt" >"$work/knocks-upgrade-$e.txt"
check "export $e: the concurrent upgrade's knocks are unbroken" "same" \
  "$([ -n "$first_erase" ] && tail -n +"$first_erase" "$work/knocks-concurrent-$e.txt" |
    head -n "$(wc -l <"$work/knocks-upgrade-$e.txt")" | cmp -s - "$work/knocks-upgrade-$e.txt" &&
    echo same || echo "differs, see $work/knocks-concurrent-$e.txt")"

# (f) Sessions recorded through the kernel play back to what the guest
# printed, without any disk.
for session in "list:list" "status:status --json"; do
  name=${session%%:*}
  command=${session#*:}
  if [ -f "$recordings/$name.jsonl" ]; then
    code=0
    # shellcheck disable=SC2086  # the command is words
    replayed=$("$pxraid" --replay "$recordings/$name.jsonl" $command 2>"$work/replay-$name.err") ||
      code=$?
  else
    replayed="" code="no recording"
  fi
  check "replayed $name prints what the guest printed" "$(cat "$recordings/$name.out" 2>/dev/null)" \
    "$replayed"
  check "replayed $name exits as the guest's did" "$(cat "$recordings/$name.code" 2>/dev/null)" "$code"
done

# The kernel read the disks at attach (its reads of LBA 0 and the partition
# scan come before the guest's run) and the checks above held regardless.
for e in "${enclosures[@]}"; do
  attach=$(awk -v e="$e" '
    $2 == "export=" e && ($3 == "read" || $3 == "write") { n++; if ($5 != "length=512") last = n }
    END { print last + 0 }' "$trace")
  check "export $e: the kernel read the disk at attach" "yes" "$([ "$attach" -gt 0 ] && echo yes)"
done

# ---------------------------------------------------------------------------
boot=$(val "$(result 'init disks=')" uptime)
say "timings: guest boot to disks ${boot}s, discovery $(val "$discovery" seconds)s," \
  "upgrades $(val "$(result 'upgrade slot=0 ')" seconds)s and $(val "$(result 'upgrade slot=1 ')" seconds)s," \
  "concurrent upgrade $(awk -v a="$(val "$concurrent" start)" -v b="$(val "$concurrent" end)" 'BEGIN { printf "%.1f", b - a }')s," \
  "virtual machine ${vm_seconds}s, whole test $((SECONDS - STARTED))s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
