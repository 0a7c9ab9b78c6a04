# Sourced by the guest of scripts/usb-vm-test.sh. The Windows USB tests under Wine cannot start
# or signal a Linux program, so they print requests and wait for an answer file:
#   usb-vm: request ID add VID:PID:REL   one more vaskel-board --usbip --attach, bound
#   usb-vm: request ID unplug|replug     SIGUSR1 to the first board, the kernel's view settled
#   usb-vm: request ID stall|release     SIGUSR2 to the first board
#   usb-vm: request ID packets           SIGHUP: the first board prints its packet totals
#   usb-vm: request ID stop              every board ended (each prints its totals)
# Board N writes its output to DIR/board-N.log; the answer is DIR/done-ID, "ok" or why not.
# The first board of a case moves the logs of the case before to DIR/case-K/.

hidraw_count() { ls /sys/class/hidraw 2>/dev/null | wc -l; }

# board_lines DIR N PREFIX: how many lines board N printed that start with PREFIX.
board_lines() { grep -c "^vaskel-board: $3" "$1/board-$2.log" 2>/dev/null || true; }

# wait_until SECONDS CONDITION: true once the shell condition (evaluated afresh each time)
# holds, false after SECONDS.
wait_until() {
  local end=$(($(date +%s) + $1))
  until eval "$2"; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.05
  done
}

# signal_and_wait DIR SIGNAL PREFIX: signals the first board and waits for one more such line.
signal_and_wait() {
  local before
  before=$(board_lines "$1" 0 "$3")
  kill "-$2" "${board_pids[0]}" || return 1
  wait_until 30 "[ \$(board_lines '$1' 0 '$3') -gt $before ]"
}

handle_board_request() {
  local dir=$1 what=$2 arg=$3 before pid
  case $what in
    add)
      if [ ${#board_pids[@]} -eq 0 ] && ls "$dir"/board-*.log >/dev/null 2>&1; then
        cases=$((cases + 1))
        mkdir -p "$dir/case-$cases" && mv "$dir"/board-*.log "$dir/case-$cases/"
      fi
      before=$(hidraw_count)
      build/release/vaskel-board --usbip 127.0.0.1:0 --attach --identity "$arg" \
        >"$dir/board-${#board_pids[@]}.log" 2>&1 &
      board_pids+=($!)
      wait_until 60 "[ \$(hidraw_count) -gt $before ]" || { echo "not bound"; return; }
      ;;
    unplug)
      before=$(hidraw_count)
      signal_and_wait "$dir" USR1 unplugged || { echo "no unplug"; return; }
      wait_until 60 "[ \$(hidraw_count) -lt $before ]" || { echo "still bound"; return; }
      ;;
    replug)
      before=$(hidraw_count)
      signal_and_wait "$dir" USR1 imported || { echo "not imported"; return; }
      wait_until 60 "[ \$(hidraw_count) -gt $before ]" || { echo "not bound"; return; }
      ;;
    stall) signal_and_wait "$dir" USR2 "writes stalled" || { echo "no stall"; return; } ;;
    release) signal_and_wait "$dir" USR2 "writes flowing" || { echo "no release"; return; } ;;
    packets) signal_and_wait "$dir" HUP "packets " || { echo "no packet totals"; return; } ;;
    stop)
      for pid in "${board_pids[@]}"; do kill -TERM "$pid"; done
      for pid in "${board_pids[@]}"; do wait "$pid"; done
      board_pids=()
      wait_until 60 "[ \$(hidraw_count) -eq 0 ]" || { echo "still bound"; return; }
      ;;
    *) echo "unknown request $what"; return ;;
  esac
  # Wine hears of the change from udevd's rebroadcast.
  udevadm settle -t 60
  echo ok
}

# serve_board_requests DIR: passes its input through, carrying out the requests in it.
serve_board_requests() {
  local dir=$1 line id what arg
  board_pids=()
  cases=0
  while IFS= read -r line; do
    line=${line%$'\r'}
    printf '%s\n' "$line"
    case $line in
      "usb-vm: request "*)
        read -r _ _ id what arg <<<"$line"
        handle_board_request "$dir" "$what" "$arg" >"$dir/done-$id.tmp"
        mv "$dir/done-$id.tmp" "$dir/done-$id"
        ;;
    esac
  done
  for pid in "${board_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wait
}
