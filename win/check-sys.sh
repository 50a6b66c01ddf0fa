#!/usr/bin/env bash
# Checks that the built driver is a real i686 kernel driver: PE32 for i386, native
# subsystem, entry DriverEntry, imports only from ntoskrnl.exe, HAL.dll and
# WMILIB.SYS, .text/PAGE/INIT sections with INIT discardable, no C++ runtime
# sections, and a PE checksum that matches the file.
set -u
sys=$1
objdump=${2:-i686-w64-mingw32-objdump}
fail=0
bad() { echo "FAIL: $*"; fail=1; }
ok() { echo "ok: $*"; }

[ -f "$sys" ] || { echo "FAIL: no file $sys"; exit 1; }

u32() { od -An -v -t u4 -j "$1" -N 4 "$sys" | tr -d ' '; }
u16() { od -An -v -t u2 -j "$1" -N 2 "$sys" | tr -d ' '; }

pe=$(u32 60)
[ "$(od -An -c -j "$pe" -N 4 "$sys" | tr -d ' ')" = 'PE\0\0' ] && ok "PE signature" || bad "no PE signature"
machine=$(u16 $((pe + 4)))
[ "$machine" = 332 ] && ok "machine i386" || bad "machine is $machine, not i386 (332)"
opt=$((pe + 24))
magic=$(u16 "$opt")
[ "$magic" = 267 ] && ok "PE32 optional header" || bad "optional header magic $magic, not PE32 (267)"
subsystem=$(u16 $((opt + 68)))
[ "$subsystem" = 1 ] && ok "native subsystem" || bad "subsystem $subsystem, not native (1)"

# Imports: DLL names as objdump reads them.
dlls=$("$objdump" -p "$sys" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
[ -n "$dlls" ] || bad "no imports found"
for d in $dlls; do
  case "$d" in
    ntoskrnl.exe|HAL.dll|WMILIB.SYS) ok "imports from $d" ;;
    *) bad "imports from $d" ;;
  esac
done

# Entry point and image base.
entry=$(u32 $((opt + 16)))
base=$(u32 $((opt + 28)))

# Sections: name, characteristics.
nsec=$(u16 $((pe + 6)))
optsize=$(u16 $((pe + 20)))
sect=$((opt + optsize))
declare -A chars vaddr
for ((i = 0; i < nsec; i++)); do
  off=$((sect + 40 * i))
  name=$(dd if="$sys" bs=1 skip="$off" count=8 2>/dev/null | tr -d '\0')
  chars[$name]=$(u32 $((off + 36)))
  vaddr[$name]=$(u32 $((off + 12)))
done
for s in .text PAGE INIT; do
  [ -n "${chars[$s]:-}" ] && ok "section $s present" || bad "section $s missing"
done
if [ -n "${chars[INIT]:-}" ]; then
  (( chars[INIT] & 0x02000000 )) && ok "INIT is discardable" || bad "INIT is not discardable"
fi
for s in .ctors .dtors .init_array .fini_array .CRT .eh_frame .tls; do
  [ -z "${chars[$s]:-}" ] || bad "section $s present (C++ runtime or global constructors)"
done
# The entry point lies in INIT (the driver entry is initialisation code).
if [ -n "${vaddr[INIT]:-}" ]; then
  (( entry >= vaddr[INIT] )) && (( entry < vaddr[INIT] + 0x100000 )) && ok "entry point in INIT" || bad "entry point 0x$(printf %x "$entry") not in INIT"
fi
[ "$base" = $((0x10000)) ] && ok "image base 0x10000" || bad "image base $base"

# PE checksum: 16-bit one's-complement-style sum of the file with the checksum field
# taken as zero, plus the file length.
stored=$(u32 $((opt + 64)))
size=$(stat -c %s "$sys")
cks_word=$(((opt + 64) / 2))
sum=0
idx=0
while read -r w; do
  if (( idx != cks_word && idx != cks_word + 1 )); then
    sum=$((sum + w))
    sum=$(((sum & 0xffff) + (sum >> 16)))
  fi
  idx=$((idx + 1))
done < <(od -An -v -t u2 -w2 "$sys"; if (( size % 2 )); then echo $(( $(od -An -t u1 -j $((size - 1)) -N 1 "$sys") )); fi)
sum=$(((sum & 0xffff) + (sum >> 16)))
calc=$((sum + size))
[ "$stored" != 0 ] && [ "$stored" = "$calc" ] && ok "PE checksum 0x$(printf %x "$calc")" || bad "PE checksum stored $stored, computed $calc"

exit $fail
