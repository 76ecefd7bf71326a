#!/usr/bin/env bash
# A validator accepts the file as it is, and rejects a copy broken on purpose for the reason that
# was planted: the broken copy shows that a failure would be seen, so a pass means something.
# Usage: validate.sh desktop|metainfo FILE SCRATCH_DIR
set -uo pipefail
kind=$1 file=$2 scratch=$3
rm -rf "$scratch" && mkdir -p "$scratch"
broken=$scratch/$(basename "$file")

case $kind in
desktop)
    tool=desktop-file-validate
    validate() { desktop-file-validate "$1"; }
    sed '/^Type=/d' "$file" >"$broken"
    planted='error: required key "Type"'
    ;;
metainfo)
    tool=appstreamcli
    # --no-net: nothing is fetched (the screenshot's address is the project's, never reached here).
    validate() { appstreamcli validate --no-net "$1"; }
    sed 's|<metadata_license>MIT</metadata_license>|<metadata_license>Proprietary</metadata_license>|' \
        "$file" >"$broken"
    planted='metadata-license-invalid'
    ;;
*)
    echo "unknown kind $kind" >&2
    exit 2
    ;;
esac

if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$tool is not installed (scripts/install-deps installs it)"
    exit 77
fi
if cmp -s "$file" "$broken"; then
    echo "FAIL: the broken copy equals $file; the file no longer has what the copy breaks"
    exit 1
fi

echo "== $tool $file"
out=$(validate "$file" 2>&1)
status=$?
printf '%s\n' "$out"
# The desktop entry gets no remark at all (a hint says, for one, that two main categories list it
# twice in menus); the metadata may get pedantic notes (its id has capitals, as the entry's has).
if [ $status -ne 0 ] || grep -Eq '(error|warning):|^[EW]: ' <<<"$out" ||
    { [ "$kind" = desktop ] && [ -n "$out" ]; }; then
    echo "FAIL: $tool rejects $file (status $status)"
    exit 1
fi

echo "== $tool on a copy broken on purpose ($planted)"
out=$(validate "$broken" 2>&1)
status=$?
printf '%s\n' "$out"
if [ $status -eq 0 ] || ! grep -qF -- "$planted" <<<"$out"; then
    echo "FAIL: $tool did not reject the broken copy for '$planted' (status $status)"
    exit 1
fi
echo "ok: $file passes, the broken copy fails"
