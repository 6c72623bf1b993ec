#!/usr/bin/env bash
# clang-tidy over the sources of one build's compile database, as many at once as there are cores.
# A source passes when clang-tidy (.clang-tidy) finds nothing in it or in the headers of ours it
# includes; a pass is kept in the cache under a key of everything that decides it, so the same
# source is not analysed again until one of those changes. Prints the findings; fails on any.
# Runs on the host and, through scripts/in-root.sh, in the OBS 32 root (no git there: the key of the
# project's headers comes from the caller).
# Usage: tidy.sh <build folder> <cache folder> <headers key> [source pattern]
set -euo pipefail
build=$(cd "$1" && pwd -P)
store=$2
headers=$3
only=${4:-.}
cd "$(dirname "$0")/.."
checkout=$(pwd -P)
mkdir -p "$store"
version=$(clang-tidy --version | tr -d '\n')
common=$(printf '%s\n%s\n%s\n' "$version" "$headers" "$(cat .clang-tidy "$build"/generated/*/*.h 2>/dev/null)" | sha256sum | cut -c1-64)

# "key file" for each source of ours in the database, the stale ones (no pass kept) on their own.
node - "$build/compile_commands.json" "$checkout" "$common" "$only" >"$store/sources" <<'EOF'
const [database, checkout, common, only] = process.argv.slice(2);
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const seen = new Set();
for (const entry of JSON.parse(fs.readFileSync(database, 'utf8'))) {
  const file = path.resolve(entry.directory, entry.file);
  const inside = file.slice(checkout.length + 1);
  if (!file.startsWith(`${checkout}/`) || /^(build|node_modules)/.test(inside) || !new RegExp(only).test(inside) || seen.has(file)) continue;
  seen.add(file);
  const command = entry.command || entry.arguments.join(' ');
  const key = crypto.createHash('sha256').update(common).update(command).update(fs.readFileSync(file)).digest('hex');
  console.log(`${key} ${file}`);
}
EOF
stale=$(while read -r key file; do [ -f "$store/$key" ] || printf '%s %s\n' "$key" "$file"; done <"$store/sources")
echo "clang-tidy with $version: $(wc -l <"$store/sources") sources, $(printf '%s' "$stale" | grep -c . || true) to analyse"
[ -n "$stale" ] || exit 0
# Findings on standard output; of standard error only what is not clang-tidy's count of the
# warnings it held back in headers not ours.
# shellcheck disable=SC2016 # the inner script expands its own arguments
printf '%s\n' "$stale" | xargs -P "$(nproc)" -L 1 bash -c \
  'clang-tidy --quiet --allow-enabling-analyzer-alpha-checkers -p "$0" "$3" 2> >(grep -v " warnings\? generated\.$" >&2) && touch "$1/$2"' "$build" "$store"
