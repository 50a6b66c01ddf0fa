#!/usr/bin/env bash
# Checks that the shipped driver is a real kernel driver: PE32 for i386 or PE32+ for
# x64, native subsystem, entry DriverEntry, imports only from ntoskrnl.exe, HAL.dll
# and WMILIB.SYS, .text/PAGE/INIT sections with INIT discardable, no C++ runtime
# sections, no debugging sections, unwind data on x64, the version and MOF resources,
# an Authenticode signature by the package's certificate, and a PE checksum that
# matches the file.
#   check-sys.sh FILE.sys ARCH(x86|amd64) [OBJDUMP] [CERT.crt] [VCOM-BMOF]
set -u
sys=$1
arch=$2
objdump=${3:-i686-w64-mingw32-objdump}
cert=${4:-}
bmof=${5:-}
fail=0
bad() { echo "FAIL: $*"; fail=1; }
ok() { echo "ok: $*"; }

[ -f "$sys" ] || { echo "FAIL: no file $sys"; exit 1; }

u32() { od -An -v -t u4 -j "$1" -N 4 "$sys" | tr -d ' '; }
u16() { od -An -v -t u2 -j "$1" -N 2 "$sys" | tr -d ' '; }

pe=$(u32 60)
[ "$(od -An -c -j "$pe" -N 4 "$sys" | tr -d ' ')" = 'PE\0\0' ] && ok "PE signature" || bad "no PE signature"
machine=$(u16 $((pe + 4)))
opt=$((pe + 24))
magic=$(u16 "$opt")
case $arch in
  x86) want_machine=332 want_magic=267 ;;    # i386, PE32
  amd64) want_machine=34404 want_magic=523 ;; # x64, PE32+
  *) echo "FAIL: unknown architecture $arch"; exit 1 ;;
esac
[ "$machine" = "$want_machine" ] && ok "machine $machine for $arch" || bad "machine $machine, not $want_machine for $arch"
[ "$magic" = "$want_magic" ] && ok "optional header magic $magic" || bad "optional header magic $magic, not $want_magic"
x64=$(( magic == 523 ))
datadir=$((opt + (x64 ? 112 : 96)))
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

# Entry point and image base (64-bit in PE32+).
entry=$(u32 $((opt + 16)))
if (( x64 )); then base=$(( $(u32 $((opt + 24))) + ($(u32 $((opt + 28))) << 32) )); else base=$(u32 $((opt + 28))); fi

# Sections: name, characteristics.
nsec=$(u16 $((pe + 6)))
optsize=$(u16 $((pe + 20)))
sect=$((opt + optsize))
declare -A chars vaddr vsize
for ((i = 0; i < nsec; i++)); do
  off=$((sect + 40 * i))
  name=$(dd if="$sys" bs=1 skip="$off" count=8 2>/dev/null | tr -d '\0')
  chars[$name]=$(u32 $((off + 36)))
  vaddr[$name]=$(u32 $((off + 12)))
  vsize[$name]=$(u32 $((off + 8)))
done
for s in .text PAGE INIT; do
  [ -n "${chars[$s]:-}" ] && ok "section $s present" || bad "section $s missing"
done
if [ -n "${chars[INIT]:-}" ]; then
  (( chars[INIT] & 0x02000000 )) && ok "INIT is discardable" || bad "INIT is not discardable"
fi
if [ -n "${chars[PAGE]:-}" ]; then
  (( (chars[PAGE] & 0x20000020) == 0x20000020 && !(chars[PAGE] & 0x02000000) )) && ok "PAGE is code that stays" || bad "PAGE is not resident code"
fi
for s in .ctors .dtors .init_array .fini_array .CRT .eh_frame .tls; do
  [ -z "${chars[$s]:-}" ] || bad "section $s present (C++ runtime or global constructors)"
done
debug=$(printf '%s\n' "${!chars[@]}" | grep -E '^(/[0-9]+|\.debug)' || true)
[ -z "$debug" ] && ok "no debugging sections" || bad "debugging sections shipped: $(echo $debug)"
if (( x64 )); then
  for s in .pdata .xdata; do
    [ -n "${chars[$s]:-}" ] && ok "unwind section $s present" || bad "unwind section $s missing"
  done
fi
[ -n "${chars[.rsrc]:-}" ] && ok "resource section present" || bad "no resource section"
# The entry point lies in INIT (the driver entry is initialisation code).
if [ -n "${vaddr[INIT]:-}" ]; then
  (( entry >= vaddr[INIT] )) && (( entry < vaddr[INIT] + vsize[INIT] )) && ok "entry point in INIT" || bad "entry point 0x$(printf %x "$entry") not in INIT"
fi
want_base=$(( x64 ? 0x140000000 : 0x10000 ))
[ "$base" = "$want_base" ] && ok "image base 0x$(printf %x "$base")" || bad "image base 0x$(printf %x "$base")"
# A driver is always loaded somewhere else than its base: it needs its relocations,
# and the loader wants it marked a WDM driver with no-execute data.
relocsize=$(u32 $((datadir + 8 * 5 + 4)))
(( relocsize > 0 )) && ok "base relocations present" || bad "no base relocations"
dllchars=$(u16 $((opt + 70)))
(( (dllchars & 0x2140) == 0x2140 )) && ok "WDM driver, NX, dynamic base" || bad "DllCharacteristics 0x$(printf %x "$dllchars") lack WDM_DRIVER, NX_COMPAT or DYNAMIC_BASE"

# Resources: the version information (its fixed-info signature 0xFEEF04BD follows the
# wide key "VS_VERSION_INFO") and the compiled WMI class.
wide() { printf '%s' "$1" | iconv -f ascii -t utf-16le | od -An -v -t x1 | tr -d ' \n'; }
hex=$(od -An -v -t x1 "$sys" | tr -d ' \n')
[[ $hex == *"$(wide VS_VERSION_INFO)"*"bd04effe"* ]] && ok "version resource present" || bad "no version resource"
if [ -n "$bmof" ]; then
  "$bmof" dump-pe "$sys" >/dev/null && ok "MOFDATA resource MOFRESOURCENAME (1033) decodes" || bad "MOFDATA resource missing or malformed"
else
  [[ $hex == *"$(wide MOFDATA)"* && $hex == *"$(wide MOFRESOURCENAME)"* ]] && ok "MOFDATA resource named" || bad "no MOFDATA resource"
fi

# The Authenticode signature: the security directory points at it, and it verifies
# against the package's certificate.
secdir=$((datadir + 8 * 4))
secsize=$(u32 $((secdir + 4)))
(( secsize > 0 )) && ok "signature present ($secsize bytes)" || bad "no signature (security directory empty)"
if [ -n "$cert" ]; then
  osslsigncode verify -CAfile "$cert" -in "$sys" >/dev/null 2>&1 && ok "signature verifies" || bad "signature does not verify"
fi

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
