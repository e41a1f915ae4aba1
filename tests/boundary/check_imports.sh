#!/usr/bin/env bash
# The driver library as the framework's loader sees it: every strong symbol it
# takes from the host is one of the framework's declared services, and each
# device class's table of virtual operations has exactly the framework's
# slots, none added.
#   check_imports.sh path/to/ravo3.so
set -euo pipefail
lib=$1

# The framework's services, by qualified name (overloads share one).
allowed='
get_ttime
SMDVDevice::SMDVDevice
SMDVDevice::~SMDVDevice
SMDVDevice::DeviceIoControl
SMDVDevice::Reset
SMDVDevice::InitV
SMDVDevice::Init
SMDVDevice::InitSetting
SMDVDevice::IsSupportDevice
SMDVDevice::SendSP
SMDVDevice::SendDelayData
SMDVDevice::SendDoData
SMDVDevice::ReadDi
SMDVDevice::ReadAi
SMDVDevice::Get_SP_Value
SMDVDevice::RefreshStatus
SMDVDevice::process
SMDVDevice::IsProcessing
SMDVDevice::IsStalled
SMDVDevice::SendData
SMDVDevice::SendParityData
SMDVDevice::OpenPort
SMDVDevice::ClosePort
SMDVDevice::CheckThresholdBool
SMDVDevice::CheckAlertMap
SMDVDevice::CheckThresholdWork
SMDVDevice::DoBatchCheckThreshold
SMDVDevice::SaveDeviceHistory
SMDSPDevice::SMDSPDevice
SMDSPDevice::~SMDSPDevice
SMDSPDevice::Reset
SMDSPDevice::Init
SMDSPDevice::RefreshStatus
SMDSPDevice::process
SMDSPDevice::IsProcessing
SMDSPDevice::IsStalled
SMDSPDevice::SendData
SMDSPDevice::SendParityData
SMDSPDevice::OpenPort
SMDSPDevice::ClosePort
PMBusProtocol::PMBusProtocol
PMBusProtocol::~PMBusProtocol
PMBusProtocol::InitSetting
PMBusProtocol::process
PMBusProtocol::process_payload
PMBusProtocol::process_error
PMBusProtocol::write_pmbus_cmd
'
for cls in VDeviceInterface SMDVDevice SMDSPDevice PMBusProtocol Provider SMDSPDeviceProvider; do
  allowed+="typeinfo for $cls
typeinfo name for $cls
vtable for $cls
"
done

status=0
# What the library's own dependencies (the C and C++ runtimes, JsonCpp, Boost,
# a sanitizer's runtime) define is not taken from the host.
provided=$(ldd "$lib" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' |
  xargs -r nm -D --defined-only 2>/dev/null | awk 'NF >= 3 {sub(/@.*/, "", $3); print $3}' | sort -u)
while IFS= read -r sym; do
  name=${sym%%(*}
  if ! grep -qxF -- "$name" <<<"$allowed"; then
    echo "not a framework service: $sym" >&2
    status=1
  fi
done < <(nm -D --undefined-only "$lib" | awk '$1 == "U" {sub(/@.*/, "", $2); print $2}' | sort -u |
  comm -23 - <(echo "$provided") | c++filt)

# Slots: two words before the first (offset to top, type), then one per slot.
declare -A slots=([Ravo3]=33 [Ravo3AC]=35 [Ravo3DC]=34 [Ravo3RC]=37)
for cls in "${!slots[@]}"; do
  size=$(nm -C -S "$lib" | awk -v want="vtable for $cls" '{
      name = $4; for (i = 5; i <= NF; i++) name = name " " $i
      if (name == want) print $2 }')
  if [ -z "$size" ]; then
    echo "no table of virtual operations for $cls" >&2
    status=1
    continue
  fi
  have=$(( 16#$size / 8 - 2 ))
  if [ "$have" -ne "${slots[$cls]}" ]; then
    echo "$cls has $have slots, the framework gives ${slots[$cls]}" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "framework imports and slots as declared"
exit $status
