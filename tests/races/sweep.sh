#!/bin/bash
# Runs a scenario under timing seeds FIRST..LAST and prints one line a seed:
# the exit status, whether the light sensor's write diagnostic was printed and
# the gap (ms) between the magnetometer's first refused write and the next
# transaction on the sensor bus.
#   tests/races/sweep.sh build/sim/tl500-sim SCRIPT FIRST LAST [--image tl500.elf]
sim=$1; script=$2; first=$3; last=$4; shift 4
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for n in $(seq "$first" "$last"); do
  timeout 120 "$sim" --script "$script" --timing-seed "$n" --console-log "$out/console" --i2c-log "$out/i2c" "$@" \
    >/dev/null 2>"$out/err"
  rc=$?
  diag=$(grep -c "SENSOR_AL_BH17_Write_Bytes() 65" "$out/console")
  gap=$(awk '/0x0C write/ && /NACK/ && !f {t=$1; f=1; next} f==1 {printf "%.3f", ($1-t)*1000; f=2}' "$out/i2c")
  echo "$n rc=$rc write_diagnostic=$diag gap_ms=$gap"
done
