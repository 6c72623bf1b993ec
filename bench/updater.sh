#!/usr/bin/env bash
# The updater's digest and download of a 200 MiB installer, each against a peer on the same file
# in the same run: sha256_file against `openssl dgst -sha256`, and the download from the loopback
# test update server against curl fetching the same URL. Runs alternate; medians of five.
#   bash bench/updater.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
[ -n "${VELMORA_BENCH_NO_BUILD:-}" ] || bash scripts/build.sh >/dev/null

work=$(mktemp -d /tmp/velmora-bench-XXXXXX)
server_pid=""
cleanup() {
  set +e
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

file=$work/installer.exe
head -c $((200 * 1024 * 1024)) /dev/urandom >"$file"
cat "$file" >/dev/null # in the page cache for every run alike

host=./build/bench/update_bench_host
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
timed() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); awk "BEGIN { printf \"%.4f\", $end - $start }"; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }

ours=() peer=()
for _ in 1 2 3 4 5; do
  ours+=("$($host sha256 "$file" | cut -d' ' -f1)")
  peer+=("$(timed openssl dgst -sha256 "$file")")
done
sha_ours=$(printf '%s\n' "${ours[@]}" | median)
sha_peer=$(printf '%s\n' "${peer[@]}" | median)

node tests/e2e/lib/update_server.js >"$work/server.out" &
server_pid=$!
for _ in $(seq 50); do grep -q '^port' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/^port/ { print $2 }' "$work/server.out")
url=http://127.0.0.1:$port/installer.exe
curl -s -X POST --data "{\"/installer.exe\": {\"file\": \"$file\"}}" "http://127.0.0.1:$port/__routes" >/dev/null

ours=() peer=()
for _ in 1 2 3 4 5; do
  ours+=("$($host download "$url" "$work/ours.exe" | cut -d' ' -f1)")
  peer+=("$(timed curl -s -o "$work/curl.exe" "$url")")
done
cmp -s "$file" "$work/ours.exe" || { echo "the download differs from the file served"; exit 1; }
get_ours=$(printf '%s\n' "${ours[@]}" | median)
get_peer=$(printf '%s\n' "${peer[@]}" | median)

echo "sha256 of 200 MiB:   sha256_file ${sha_ours} s, openssl dgst ${sha_peer} s, ratio $(ratio "$sha_peer" "$sha_ours") (target >= 0.9)"
echo "download of 200 MiB: https_get ${get_ours} s, curl ${get_peer} s, ratio $(ratio "$get_peer" "$get_ours") (target >= 0.9)"
