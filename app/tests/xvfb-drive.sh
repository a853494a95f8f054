# Steps the Xvfb smoke tests' drivers share (sourced): find a window, click in it, and end with
# "Close" on the download window and "Exit" on the main one. Every wait has a deadline.
wait_window() {  # name pattern; prints the window id
    for _ in $(seq 1 200); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}
click() {  # window, x, y in its client area
    xdotool mousemove --window "$1" "$2" "$3" click 1
}
close_and_exit() {  # download window, main window, the program's process
    click "$1" 321 140  # "Close"
    click "$2" 245 208  # "Exit"
    for _ in $(seq 1 100); do
        kill -0 "$3" 2>/dev/null || { wait "$3"; exit $?; }
        sleep 0.1
    done
    echo "the program did not exit"
    kill "$3"
    exit 1
}
