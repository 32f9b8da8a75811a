#!/bin/sh
# Runs a command on the X display that xvfb-run opened, with a window manager managing its
# windows as on a desktop: frames, captions and the buttons the window manager offers for each.
# IceWM takes the window's own hints for the buttons it draws, so a window not marked as fixed
# size shows a maximise button there. The command learns that a window manager runs from
# COPYORVEL_WINDOW_MANAGER.
if ! command -v icewm >/dev/null 2>&1 || ! command -v xprop >/dev/null 2>&1; then
  echo "icewm and xprop are needed (scripts/setup.sh installs them)" >&2
  exit 1
fi
icewm >/dev/null 2>&1 &
wm=$!
# The window manager is up once it announces itself on the root window.
i=0
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; do
  i=$((i + 1))
  if [ $i -gt 100 ]; then
    echo "the window manager did not start" >&2
    kill $wm
    exit 1
  fi
  sleep 0.1
done
COPYORVEL_WINDOW_MANAGER=icewm "$@"
rc=$?
kill $wm
exit $rc
