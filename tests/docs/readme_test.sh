#!/usr/bin/env bash
# The README as a newcomer meets it: its quick start runs as written, against
# the tools this build made, and every relative link in it and in docs/ leads
# to a file that exists.
#   readme_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
cd "$source_dir"
failed=0

# The "Try it without hardware" block, exactly as the README shows it.
quick_start=$(awk '/^## Try it without hardware/ { section = 1 }
  section && /^```sh/ { inside = 1; next }
  inside && /^```/ { exit }
  inside' README.md)
if [ -z "$quick_start" ]; then
  echo "the README has no quick-start block"
  exit 1
fi
output=$(timeout 60 bash -euo pipefail -c "$quick_start" 2>&1) || {
  echo "the quick start failed:"
  echo "$output"
  exit 1
}
for expected in "version: KORVEL-SIM 1.0" $'\nKORVEL-SIM 1.0'; do
  if [[ $output != *"$expected"* ]]; then
    echo "the quick start did not print '$expected':"
    echo "$output"
    failed=1
  fi
done
[ "$failed" = 0 ] && echo "ok   the quick start runs as written"

# Relative links: [text](path) and [text](path#anchor), from the linking file's folder.
for page in README.md CHANGELOG.md docs/*.md; do
  while IFS= read -r target; do
    path=${target%%#*}
    [ -z "$path" ] && continue
    if [ ! -e "$(dirname "$page")/$path" ]; then
      echo "$page links to $target, which does not exist"
      failed=1
    fi
  done < <(grep -oE '\]\([^)[:space:]]+\)' "$page" | sed -E 's/^\]\(//; s/\)$//' |
    grep -vE '^[a-z]+:' || true)
done
[ "$failed" = 0 ] && echo "ok   every relative link leads to a file"
exit "$failed"
