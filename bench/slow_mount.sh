# slow_mount.sh - the slow-mount cases of scripts/bench, which sources it (its problem and cleanup,
# and the variables b, tool, dir, scratch and quick are used here).
#
# A file server as users have it: an sshfs mount with the kernel's caches off, as the reliability
# harness mounts it, through bench/slow_relay, which starts the sftp server itself and holds every
# chunk SLOW_DELAY_US microseconds each way. A second mount of the same directory through the
# relay without delay measures what the delay adds to one round trip. The relay logs every
# request, so that the operations reaching the server are counted exactly.
# Prints its table into slow_rows (and the request counts into slow_calls).

slow_delay_us=500
slow_rows=()
slow_calls=()
slow_mounts=()
slow_pids=()

slow_cleanup() {
  local m p
  for m in "${slow_mounts[@]}"; do
    fusermount3 -u "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
  done
  for p in "${slow_pids[@]}"; do kill "$p" 2>/dev/null || true; done
}

slow_row() {  # slow_row NAME PROJECT BASELINE UNIT TARGET
  slow_rows+=("$(awk -v n="$1" -v p="$2" -v q="$3" -v u="$4" -v t="$5" 'BEGIN {
    printf "%-40s %12.4g %12.4g %-3s %7.2f   %s", n, p, q, u, p / q, t }')")
}

slow_mount() {  # slow_mount SERVED MOUNT DELAY_US LOG: sshfs through the relay, in the foreground
  mkdir -p "$2"
  : >"$4"
  sshfs -f -o ssh_command="$b/slow_relay $3 $4 /usr/lib/openssh/sftp-server" \
    -o dir_cache=no,entry_timeout=0,attr_timeout=0,negative_timeout=0 "bench:$1" "$2" \
    </dev/null >/dev/null 2>"$scratch/sshfs.err" &
  slow_pids+=($!)
  slow_mounts+=("$2")
  local _
  for _ in $(seq 100); do
    mountpoint -q "$2" && return 0
    sleep 0.05
  done
  problem "slow mount: sshfs did not mount $2: $(cat "$scratch/sshfs.err")"
  return 1
}

# Requests in the server log between "mark.OP" and the next mark, for the last operation OP.
slow_requests() {  # slow_requests LOG SERVED OP
  awk -v m="$2/mark." -v want="$3" 'index($0, "lstat " m) == 1 {
      if (op == want) last = n
      op = substr($2, length(m) + 1); n = 0; next }
    { n++ } END { print last + 0 }' "$1"
}

slow_cases() {
  if [ ! -w /dev/fuse ] || ! command -v sshfs >/dev/null ||
    [ ! -x /usr/lib/openssh/sftp-server ]; then
    echo "bench: no FUSE or sshfs here: slow-mount cases skipped" >&2
    return 0
  fi
  trap 'slow_cleanup; cleanup' EXIT
  # The trees are made on the local directory the server serves, not through the mount.
  local served=$dir/slow-served
  local wide=(20 2 1000 500) narrow=(400 2 49 490)
  ((quick)) && wide=(20 2 100 50) narrow=(40 2 49 49)
  mkdir -p "$served"
  local t
  for t in "wide:${wide[*]}" "narrow:${narrow[*]}"; do
    local name=${t%%:*} shape key
    read -ra shape <<<"${t#*:}"
    key=$(printf '%s-' "${shape[@]}")
    if [ ! -f "$served/$name.count" ] || [ "$(cat "$served/$name.key")" != "$key" ]; then
      rm -rf "$served/$name"
      "$b/make_tree" "$served/$name" "${shape[@]}" >"$served/$name.count"
      echo "$key" >"$served/$name.key"
    fi
  done
  rm -rf "$served/micro"
  local slow=$scratch/slow fast=$scratch/fast
  slow_mount "$served" "$slow" "$slow_delay_us" "$scratch/slow.log" || return 0
  slow_mount "$served" "$fast" 0 "$scratch/fast.log" || return 0

  # The round trip: lstat of one file, one request each with the caches off (a lookup; the stat
  # itself asks again), on the mount with and without the delay.
  local n=$((quick ? 50 : 400)) slow_reps=$((quick ? 1 : 5)) with without per
  : >"$scratch/slow.log"
  "$b/stat_loop" "$slow/wide.count" 10 >/dev/null
  per=$(grep -c . "$scratch/slow.log")
  with=$("$b/stat_loop" "$slow/wide.count" $n) without=$("$b/stat_loop" "$fast/wide.count" $n)
  slow_calls+=("$(awk -v w="$with" -v o="$without" -v r="$per" 'BEGIN { printf \
    "round trip added by the relay: %.2f ms (lstat %.2f ms vs %.2f ms, %d requests each)", \
    (w - o) / (r / 10) / 1000, w / 1000, o / 1000, r / 10 }')")

  # The sweep over both shapes, against find on the same mount; the outputs agree, and -ale's on
  # the mount is -ale's over the local tree but for the prefix.
  for t in wide narrow; do
    local count listed found local_out mount_out
    count=$(cat "$served/$t.count")
    mount_out=$("$tool" -ale "$slow/$t" 2>/dev/null | sed "s|$slow/|ROOT/|g")
    local_out=$("$tool" -ale "$served/$t" 2>/dev/null | sed "s|$served/|ROOT/|g")
    [ "$mount_out" = "$local_out" ] ||
      problem "slow mount: -ale on the mount differs from local ($t)"
    listed=$(sed -n 's|^ \(ROOT/[^ ]*\) .*|\1|p' <<<"$mount_out" | sort)
    found=$(find "$slow/$t" -name '*.orvlck' | sed "s|$slow/|ROOT/|; s|\.orvlck\$||" | sort)
    [ "$listed" = "$found" ] || problem "slow mount: -ale and find disagree ($t)"
    [ "$(grep -c . <<<"$found")" = "$count" ] || problem "slow mount: find found not $count ($t)"
    local entries=$(($(find "$served/$t" -mindepth 1 | wc -l)))
    local times=($("$b/run_timed" "$slow_reps" "$tool" -ale "$slow/$t" \
      -- find "$slow/$t" -name '*.orvlck' \
      -- "$tool" -ale "$served/$t" -- find "$served/$t" -name '*.orvlck' | cut -d' ' -f1 ||
      problem "slow mount: a timed sweep failed ($t)"))
    local shape_name=${narrow[0]}x${narrow[2]}
    [ $t = wide ] && shape_name=${wide[0]}x${wide[2]}
    slow_row "sweep $shape_name slow: -ale / find" "${times[0]}" "${times[1]}" s "<= 0.5"
    slow_row "sweep $shape_name local: -ale / find" "${times[2]}" "${times[3]}" s "<= 1.0"
    slow_calls+=("$(printf 'sweep %-9s %d entries, %d lock-stake files' "$shape_name" \
      "$entries" "$count")")
  done

  # Get + release and steal: requests that reach the server for the last of a few cycles, cut
  # at the marks, against the bare programs on the same mount.
  local c get rel
  declare -A req
  for c in lock bare_lock steal bare_replace; do
    : >"$scratch/slow.log"
    BENCH_DIR=$slow/micro BENCH_MARK=$slow "$b/vak_micro_bench" --cycles 3 "$c" >/dev/null 2>&1 ||
      problem "slow mount: micro case $c failed"
    for op in get release steal; do
      req[${c}_$op]=$(slow_requests "$scratch/slow.log" "$served" "$op")
    done
  done
  slow_row "lock: get+release / bare (requests)" "$((${req[lock_get]} + ${req[lock_release]}))" \
    "$((${req[bare_lock_get]} + ${req[bare_lock_release]}))" "" "<= 1.2"
  slow_row "replace: steal / bare (requests)" "${req[steal_steal]}" "${req[bare_replace_steal]}" \
    "" "<= 1.5"
  slow_calls+=("$(printf 'get %d, release %d, steal %d; bare: get %d, release %d, steal %d' \
    "${req[lock_get]}" "${req[lock_release]}" "${req[steal_steal]}" "${req[bare_lock_get]}" \
    "${req[bare_lock_release]}" "${req[bare_replace_steal]}")")
  ((${req[lock_release]} <= ${req[lock_get]})) ||
    problem "slow mount: a release costs more than a get"
  rm -rf "$served/micro"
}
