#!/usr/bin/env bash
# The one version number, project(VERSION), is what the user-facing records announce as the
# newest release: NEWS.md, the package's changelog and the AppStream metadata, the last two with
# the same date as NEWS.md.
# Usage: versions.sh VERSION SOURCE_DIR
set -uo pipefail
version=$1 source=$2
metainfo=$source/data/org.orlofirmwareupdate.ORLOFirmwareUpdate.metainfo.xml

# "## 1.3 (2026-12-08)"
news=$(grep -m1 '^## ' "$source/NEWS.md")
news_version=$(sed -E 's/^## ([^ ]+).*/\1/' <<<"$news")
news_date=$(sed -nE 's/.*\(([0-9-]+)\).*/\1/p' <<<"$news")
# "orlofirmwareupdate (1.3) unstable; urgency=medium"
changelog_version=$(sed -nE '1s/^[a-z0-9.+-]+ \(([^)]+)\).*/\1/p' "$source/packaging/changelog")
changelog_date=$(date -u -d "$(sed -nE 's/^ -- .*>  (.*)$/\1/p' "$source/packaging/changelog" | head -1)" +%F)
# The first <release version="1.3" date="2026-12-08">
release=$(grep -m1 -o '<release [^>]*>' "$metainfo")
metainfo_version=$(sed -nE 's/.*version="([^"]+)".*/\1/p' <<<"$release")
metainfo_date=$(sed -nE 's/.*date="([^"]+)".*/\1/p' <<<"$release")

echo "project $version; NEWS.md $news_version ($news_date); changelog $changelog_version" \
    "($changelog_date); metainfo $metainfo_version ($metainfo_date)"
failed=0
for found in "$news_version" "$changelog_version" "$metainfo_version"; do
    [ "$found" = "$version" ] || failed=1
done
for found in "$changelog_date" "$metainfo_date"; do
    [ -n "$news_date" ] && [ "$found" = "$news_date" ] || failed=1
done
[ $failed -eq 0 ] && echo "ok" || echo "FAIL: the newest release differs between them"
exit $failed
