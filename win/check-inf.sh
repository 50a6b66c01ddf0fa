#!/usr/bin/env bash
# Checks the package's INF against the build, following its sections from the
# manufacturer to the models of the architecture and their install section: the
# install copies the built driver file from the architecture's folder, installs its
# service as the device's function driver with that file as binary, and, in the
# device's hardware key (the .HW section, which IoOpenDeviceRegistryKey with
# PLUGPLAY_REGKEY_DEVICE opens), puts the pipe driver below it as lower filter and
# writes every setting the driver reads, with its default and a comment.
#   check-inf.sh vcomusb.inf FILE.sys ARCH(x86|amd64)
set -u
inf=$1 file=$2 arch=$3
fail=0
bad() { echo "FAIL: $*"; fail=1; }
ok() { echo "ok: $*"; }
[ -f "$inf" ] || { echo "FAIL: no file $inf"; exit 1; }
case $arch in x86) deco=NTx86 ;; amd64) deco=NTamd64 ;; *) echo "FAIL: unknown architecture $arch"; exit 1 ;; esac

# Lines without comments, carriage returns and blanks around "=" and ",".
body=$(sed -e 's/\r$//' -e 's/[[:space:]]*;.*$//' -e 's/[[:space:]]*=[[:space:]]*/=/' -e 's/[[:space:]]*,[[:space:]]*/,/g' "$inf")
section() { printf '%s\n' "$body" | awk -v s="[$1]" 'tolower($0) == tolower(s) { on = 1; next } /^\[/ { on = 0 } on && NF'; }
exists() { printf '%s\n' "$body" | grep -qixF "[$1]"; }
has() { printf '%s\n' "$2" | grep -qiE "$1"; }
# The value of "key=value" in a section's text.
value() { printf '%s\n' "$2" | sed -n "s/^$1=//Ip" | head -1; }
re() { printf '%s' "$1" | sed 's/[.[\*^$]/\\&/g'; }

version=$(section Version)
has '^Class=Ports$' "$version" && ok "class Ports" || bad "not a Ports class INF"
has '^ClassGuid=\{4D36E978-E325-11CE-BFC1-08002BE10318\}$' "$version" && ok "Ports class GUID" || bad "class GUID"
has '^DriverVer=[0-9]{2}/[0-9]{2}/[0-9]{4},[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$' "$version" && ok "DriverVer" || bad "DriverVer"
has '^CatalogFile=.+\.cat$' "$version" && ok "catalog named" || bad "no CatalogFile"

# Source: the file in the architecture's folder of disk 1.
has '^1=' "$(section SourceDisksNames)" && ok "disk 1 described" || bad "disk 1 not in SourceDisksNames"
has "^$(re "$file")=1,$arch$" "$(section "SourceDisksFiles.$arch")" && ok "$file from disk 1, folder $arch" || bad "$file not in SourceDisksFiles.$arch"

# Manufacturer -> models of this architecture -> install section.
manuf=$(section Manufacturer | head -1)
models=$(printf '%s' "${manuf#*=}" | cut -d, -f1)
[[ ",${manuf#*=}," == *",$deco,"* ]] && ok "manufacturer decorated for $deco" || bad "manufacturer lacks $deco"
modelsec=$(section "$models.$deco")
[ -n "$modelsec" ] && ok "models section $models.$deco" || bad "no models section $models.$deco"
has '=[^,]+,USB\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4}$' "$modelsec" && ok "a USB hardware ID" || bad "no USB hardware ID"
install=$(printf '%s\n' "$modelsec" | head -1 | cut -d= -f2 | cut -d, -f1)
exists "$install.NT" && ok "install section $install.NT" || bad "install section $install.NT missing"

copy=$(value CopyFiles "$(section "$install.NT")")
has "^$(re "$file")$" "$(section "$copy")" && ok "$install.NT copies $file" || bad "$install.NT does not copy $file"

addservice=$(value AddService "$(section "$install.NT.Services")")
has '^vcomusb,0x00000002,' "$addservice" && ok "vcomusb installed as the function driver" || bad "AddService is not vcomusb with SPSVCINST_ASSOCSERVICE"
service=$(section "${addservice##*,}")
has '^ServiceType=1$' "$service" && ok "kernel driver service" || bad "service type"
has "^ServiceBinary=%12%\\\\$(re "$file")$" "$service" && ok "service binary $file" || bad "service binary is not %12%\\$file"

# The hardware key: every AddReg section of the .HW install, and only those.
hwsections=$(value AddReg "$(section "$install.NT.HW")" | tr ',' ' ')
[ -n "$hwsections" ] && ok "$install.NT.HW adds registry values" || bad "$install.NT.HW has no AddReg"
hw=$(for s in $hwsections; do section "$s"; done)
has '^HKR,,"LowerFilters",0x00010000,.+' "$hw" && ok "pipe driver as lower filter" || bad "no LowerFilters in the hardware key"
softsections=$(value AddReg "$(section "$install.NT")" | tr ',' ' ')
soft=$(for s in $softsections; do section "$s"; done)
for v in EndPointCaps:0 RxReqSize:0 RxPollPeriod:0 CtlPollPeriod:10 TxKickThreshold:0 TxAsync:0 NoBaudCheck:0 TxAllowNullPacket:1 DebugLevel:0; do
  name=${v%%:*} value=${v#*:}
  has "^HKR,,\"$name\",0x0001000[13],$value$" "$hw" && ok "$name = $value in the hardware key" || bad "$name missing from the hardware key or not $value"
  has "\"$name\"" "$soft" && bad "$name also written to the software key"
  # Each setting says what it does in the comment above it.
  grep -B1 -F "\"$name\"" "$inf" | head -1 | grep -q '^;' && ok "$name commented" || bad "$name has no comment"
done
exit $fail
