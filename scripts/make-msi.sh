#!/usr/bin/env bash
# make-msi.sh STAGE VERSION OUT: builds the installer OUT from dist/qvm_updater.wxs
# with wixl. STAGE holds qvm_updater.exe, qvm_cli.exe, README.txt, the schema
# scripts (dist/sql) and, when it was built, qvm_station.exe. Needs
# SOURCE_DATE_EPOCH.
# What wixl cannot say is added to its tables with msibuild: the install
# folder on the system PATH (an Environment row, "=-*": set, removed on
# uninstall, system-wide; "[~];" appends), the actions that write and remove
# it, the condition of the Database registry value's component, and the
# DATABASE properties among the secure ones (passed to the elevated part of a
# per-machine install).
# Reproducible: the product code is a name-based UUID of the version, the
# package code one of the version and the SHA-256 of every input, the
# summary times and the cabinet's file dates are SOURCE_DATE_EPOCH (wixl
# would write random codes and the clock; scripts/msi-summary.py sets them).
set -euo pipefail
die() { echo "make-msi: $*" >&2; exit 1; }
[[ $# -eq 3 ]] || die "usage: make-msi.sh STAGE VERSION OUT"
stage=$1 version=$2 out=$3
src="$(cd "$(dirname "$0")/.." && pwd)"
[[ -n "${SOURCE_DATE_EPOCH:-}" ]] || die "set SOURCE_DATE_EPOCH (seconds) for the package's dates"
command -v wixl >/dev/null || die "wixl is not installed (scripts/deps.sh)"
# Windows Installer compares major.minor.build; ours is major.minor.
[[ $version =~ ^[0-9]{1,3}\.[0-9]{1,3}$ ]] || die "version '$version' is not x.yy"

files=(qvm_updater.exe qvm_cli.exe README.txt schema-postgresql.sql schema-sqlserver.sql
       upgrade-postgresql.sql upgrade-sqlserver.sql)
[[ -f $stage/qvm_station.exe ]] && files+=(qvm_station.exe)
work="$out.work"
rm -rf "$work"; mkdir -p "$work"
for f in "${files[@]}"; do
    [[ -f $stage/$f ]] || die "no $f in $stage"
    cp "$stage/$f" "$work/"
done
cp "$src/dist/qvm_updater.wxs" "$src/GUI/qvm_updater/res/qvm_updater.ico" "$work/"
# The cabinet keeps each file's modification time.
touch -d "@$SOURCE_DATE_EPOCH" "$work"/*

defines=(-D "Version=$version" -D "ArpSize=$(cd "$work" && du -k --apparent-size -c "${files[@]}" | tail -1 | cut -f1)")
[[ -f $work/qvm_station.exe ]] && defines+=(-D Station=1)
upgrade="$(sed -n 's/^<?define UpgradeCode = "\(.*\)"?>$/\1/p' "$work/qvm_updater.wxs")"
[[ -n $upgrade ]] || die "no UpgradeCode define in dist/qvm_updater.wxs"
inputs="$(cd "$work" && LC_ALL=C sha256sum -- * | LC_ALL=C sort -k2)"
# Both codes are name-based UUIDs in the namespace of the upgrade code.
read -r product package < <(python3 - "$upgrade" "$version" "$inputs" <<'PY'
import sys, uuid
ns, version, inputs = uuid.UUID(sys.argv[1]), sys.argv[2], sys.argv[3]
print(str(uuid.uuid5(ns, "product " + version)).upper(),
      "{%s}" % str(uuid.uuid5(ns, "package " + version + "\n" + inputs)).upper())
PY
)
defines+=(-D "ProductCode=$product")

rm -f "$out"
TZ=UTC wixl -a x64 "${defines[@]}" -o "$out.tmp" "$work/qvm_updater.wxs" 2>"$work/wixl.log" ||
    { cat "$work/wixl.log" >&2; rm -f "$out.tmp"; die "wixl failed"; }
secure="$(msiinfo export "$out.tmp" Property | tr -d '\r' | sed -n 's/^SecureCustomProperties\t//p')"
msibuild "$out.tmp" \
    -q 'CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)' \
    -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('QvmPath', '=-*PATH', '[~];[INSTALLDIR]', 'Cli')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)" \
    -q "UPDATE \`Component\` SET \`Condition\` = 'STATION_DB' WHERE \`Component\` = 'StationDatabase'" \
    -q "UPDATE \`Component\` SET \`Condition\` = 'STATION_MES' WHERE \`Component\` = 'StationMes'" \
    -q "UPDATE \`Property\` SET \`Value\` = '${secure:+$secure;}DATABASE;STATION_DATABASE;SAVED_DATABASE;STATION_DB;MES;SAVED_MES;STATION_MES' WHERE \`Property\` = 'SecureCustomProperties'" ||
    { rm -f "$out.tmp"; die "msibuild failed"; }
"$src/scripts/msi-summary.py" "$out.tmp" "$package" "$SOURCE_DATE_EPOCH" || { rm -f "$out.tmp"; exit 1; }
mv "$out.tmp" "$out"
rm -rf "$work"
echo "make-msi: $out (version $version, product code {$product}, package code $package)"
