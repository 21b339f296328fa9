#!/usr/bin/env bash
# The signature store after a first upload of NIMBREL_SIG_FILES (100000) files of
# NIMBREL_SIG_BYTES (4096) bytes: its size on disk and its file count beside the
# data's, with the ratio. Aim: at most 10% of the data, no file per small file.
# The wait for the upload ends after NIMBREL_SIG_TIMEOUT seconds (3600).
# Usage: bench/signature_store.sh      (NIMBREL_SIG_FILES=10000 for a quick run)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
source bench/sync_env.sh

files=${NIMBREL_SIG_FILES:-100000}
bytes=${NIMBREL_SIG_BYTES:-4096}
limit=${NIMBREL_SIG_TIMEOUT:-3600}
bench_require sqlite3 setsid python3
bench_build

tmp=$(mktemp -d "${NIMBREL_SIG_DIR:-/tmp}/nimbrel-sig-XXXXXX")
trap bench_cleanup EXIT
trap 'exit 130' INT TERM

folder=$tmp/client/folder
mkdir -p "$folder"
head -c $((bytes * files)) /dev/urandom >"$tmp/all"
# Folders of 1,000 files, as a real tree would spread them.
(cd "$folder" && split -b "$bytes" -d -a 7 "$tmp/all" f)
rm "$tmp/all"
(cd "$folder" && for i in $(seq 0 $(((files - 1) / 1000))); do
  d=$(printf 'd%05d' "$i")
  mkdir "$d"
  mv "f$(printf '%04d' "$i")"??? "$d/"
done)

start_server "$tmp/server"
start_client "$tmp/client"
t=$(now)
add_session "$tmp/client" 1 1 "$folder"
all_uploaded() { [ "$(server_files "$tmp/server" 1)" -ge "$files" ]; }
step=1
if ! wait_for all_uploaded; then
  echo "signatures: only $(server_files "$tmp/server" 1) of $files files uploaded in ${limit}s" >&2
  exit 1
fi
upload_time=$(since "$t")
sign=$tmp/client/session1/db/sign
# Space taken on disk (whole blocks), as the store costs it; the bytes written beside.
data_bytes=$(du -s --block-size=1 --exclude=.VarnelWorkingDirectory "$folder" | cut -f1)
sign_bytes=$(du -s --block-size=1 "$sign" 2>/dev/null | cut -f1)
sign_written=$(du -sb "$sign" 2>/dev/null | cut -f1)
sign_files=$(find "$sign" -type f 2>/dev/null | wc -l)
db_bytes=$(du -cb "$tmp/client/session1/db/"event-db.sqlite* | tail -1 | cut -f1)

echo
printf '%-44s %14s\n' "figure ($files x $bytes bytes)" "measured"
printf '%-44s %14s\n' "first upload (s)" "$upload_time"
printf '%-44s %14s\n' "data on disk (bytes)" "$data_bytes"
printf '%-44s %14s\n' "signature store on disk (bytes)" "${sign_bytes:-0}"
printf '%-44s %14s\n' "signature bytes written" "${sign_written:-0}"
printf '%-44s %14s\n' "signature files" "$sign_files"
printf '%-44s %14s\n' "event database (bytes)" "$db_bytes"
awk -v s="${sign_bytes:-0}" -v d="$data_bytes" \
  'BEGIN { printf "signature store / data: %.1f%% (aim <= 10%%, no file per small file)\n", 100 * s / d }'
