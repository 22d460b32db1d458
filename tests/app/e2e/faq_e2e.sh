#!/usr/bin/env bash
# The FAQ end to end, installed as ./run.sh installs it, driven from outside
# through its inspection (KV_INSPECT=1) with formdrive.exe:
#
#   faq_e2e.sh <prefix dir> <win64|win32> <build arch: i686|x86_64> <bin dir> <evidence dir>
#
# The stand-in service serves the FAQ page; the program fetches it at its
# start (no page stored, no attempt recorded), the help page's FAQ button
# shows it, and a click at a link of the page reaches the browser:
# urlrecorder.exe, registered for http and https for the run, writes the
# address down. A picture of the FAQ window lands in <evidence dir>. The
# programs are uninstalled and the browser's registration put back at the end.
set -euo pipefail
prefix_dir=$1 arch=$2 build_arch=$3 bin=$4 evidence=$5

tools_name=kfaq tools_fresh=1 fd_seconds=120 tool_programs=(urlrecorder.exe fakeservice.exe)
. "$(dirname "$(realpath "$0")")/e2e_ground.sh"
mkdir -p "$tools/site"

# The browser's open commands as they were, for both views.
saved=()
for s in http https; do for v in "${views[@]}"; do
    old=$(w reg query "HKCR\\$s\\shell\\open\\command" /ve /reg:$v |
          sed -n 's/^ *(Default) *REG_[A-Z_]* *//p' | head -1 || true)
    saved+=("$s|$v|$old")
done; done
wizard=
service=
cleanup() {
    [ -n "$wizard" ] && kill "$wizard" 2>/dev/null || true
    alone "$exe" /UNINSTALL || true
    for entry in "${saved[@]}"; do
        IFS='|' read -r s v old <<< "$entry"
        if [ -n "$old" ]; then
            w reg add "HKCR\\$s\\shell\\open\\command" /ve /d "$old" /f /reg:$v >/dev/null || true
        else
            w reg delete "HKCR\\$s\\shell\\open\\command" /ve /f /reg:$v >/dev/null || true
        fi
    done
    if [ -n "$service" ]; then
        [ -n "${port:-}" ] && command -v curl >/dev/null && curl -s -m 5 "http://127.0.0.1:$port/__quit" >/dev/null || true
        kill "$service" 2>/dev/null || true
    fi
}
trap cleanup EXIT

# The install report, the phone and the daily check go to a closed loopback
# port: nothing of the run leaves the machine.
for name in LI_URL PHONE_URL; do
    w reg add 'HKLM\Software\Korvelle' /v $name /d 'http://127.0.0.1:9/' /reg:32 /f >/dev/null
done
if ! w reg query 'HKLM\Software\Korvelle' /v INSTALL /reg:32 >/dev/null; then
    alone "$exe" /INSTALL || fail "/INSTALL"
fi

# The page, with a script the view must not run and links to follow.
cat > "$tools/site/faq.htm" <<'EOF'
<html><head><meta http-equiv="Content-Type" content="text/html; charset=utf-8">
<title>Korvelle FAQ</title><script>window.location = "https://evil.test/";</script></head>
<body><h1><b>Frequently Asked Questions</b></h1>
<p><b>How do I undo a repair?</b><br>Open the rescue centre on the Support tab, choose the
backup of the repair and press Restore. Every repair writes its backup first.</p>
<p><b>Where can I read more?</b><br>See <a href="https://www.korvelle.com/faq/backup?from=faq&amp;v=1">how backups work</a>
or write to <a href="https://www.korvelle.com/support">our support</a>.</p>
<ul><li>Registry repair</li><li>Speed-up settings</li><li>Start-up programs</li><li>Browser add-ons</li></ul>
<p><b>Häufige Fragen</b> – für alle Sprachen.</p>
<p><b>Why does the scan find errors again after a repair?</b><br>Programs that are installed
and removed leave new entries behind; a scan a few weeks later finds those, not the ones repaired.</p>
<p><b>Does Korvelle start with Windows?</b><br>Lindova, the tray companion, starts with Windows and
runs the postponed start-up programs once the desktop is ready. Turn it off on the settings page.</p>
<p><b>What do the speed-up settings change?</b><br>Only the settings listed on the speed-up page, each
written to a backup first, so the rescue centre can put every one of them back.</p>
<p><b>How much disk space does the clean-up free?</b><br>The clean-up page shows the size of every
category before anything is deleted; the recycle bin is emptied only when you choose it.</p>
<p><b>Which browsers are checked for add-ons?</b><br>Internet Explorer and Firefox. Each add-on is
judged by the service, and only the ones you select are turned off.</p>
</body></html>
EOF

(exec "$KORV_WINE" "$tools_win\\fakeservice.exe" --root "$tools_win\\site" --log "$tools_win\\svc.log" \
    --deadline 600 </dev/null >"$tools/port.txt" 2>/dev/null) &
service=$!
for _ in $(seq 100); do grep -q '^port=' "$tools/port.txt" 2>/dev/null && break; sleep 0.2; done
port=$(sed -n 's/^port=\([0-9]*\).*/\1/p' "$tools/port.txt" | tr -d '\r')
[ -n "$port" ] || fail "the stand-in did not start"
w reg add 'HKLM\Software\Korvelle' /v FAQ_URL /d "http://127.0.0.1:$port/faq.htm?page=faq%LANGUAGE%" \
    /reg:32 /f >/dev/null
w reg delete 'HKCU\Software\Korvelle' /v LAST_CMS_UPDATE /f /reg:32 >/dev/null || true
appdata=$(w cmd /c echo %APPDATA% | tail -1)
page_unix=$("$KORV_WINE" winepath -u "$appdata\\Korvelle\\faq.htm" 2>/dev/null | tr -d '\r')
rm -f "$page_unix"

for s in http https; do for v in "${views[@]}"; do
    w reg add "HKCR\\$s\\shell\\open\\command" /ve \
        /d "\"$tools_win\\urlrecorder.exe\" \"$tools_win\\urls.log\" \"%1\"" /f /reg:$v >/dev/null
done; done

KV_INSPECT=1 "$KORV_WINE" "$exe" >/dev/null 2>&1 &
wizard=$!
for _ in $(seq 150); do fd find MainForm >/dev/null 2>&1 && break; sleep 0.2; done
fd find MainForm | grep -qx 'step=0' || fail "no wizard at step 0"

# The start's download shows the page in the (hidden) FAQ window.
fd wait FormFAQ WebBrowserFAQ Empty=0 30000 ||
    fail "the FAQ page was not shown (stored: $([ -f "$page_unix" ] && echo yes || echo no); requests: $(grep -c HTTP/1.1 "$tools/svc.log"))"
grep -q 'GET /faq.htm' "$tools/svc.log" || fail "no GET of the page: $(cat "$tools/svc.log")"
[ -f "$page_unix" ] || fail "no faq.htm stored at $page_unix"
cmp -s "$page_unix" "$tools/site/faq.htm" || fail "the stored page differs from the served one"

fd click MainForm.SupportTab
fd click MainForm.ButtonSupportHelp
fd wait MainForm - Step=20 10000 || fail "the help page was not reached"
fd click FormSteps.ButtonFAQ
fd wait FormFAQ - Visible=1 10000 || fail "the FAQ button did not show the window"
[ "$(fd get FormFAQ.WebBrowserFAQ ContentHeight)" -gt 439 ] || fail "the page should need the scroll bar"
sleep 1
fd shot "$tools_win\\faq_window.png" FormFAQ && cp "$tools/faq_window.png" "$evidence/faq_window.png" ||
    fail "no picture of the FAQ window"

rects=$(fd get FormFAQ.WebBrowserFAQ LinkRects)
first=${rects%%;*}
IFS=, read -r l t r b <<< "$first"
[ -n "$b" ] || fail "no link rectangles: '$rects'"
fd clickat FormFAQ WebBrowserFAQ $(( (l + r) / 2 )) $(( (t + b) / 2 )) || fail "no click at the link"
for _ in $(seq 100); do [ -s "$tools/urls.log" ] && break; sleep 0.2; done
[ -s "$tools/urls.log" ] || fail "the browser was not started for the link"
got=$(head -1 "$tools/urls.log" | tr -d '\r')
[ "$got" = 'https://www.korvelle.com/faq/backup?from=faq&v=1' ] || fail "the browser got '$got'"

fd click MainForm.ButtonClose
for _ in 1 2 3; do
    box=$(fd box 3000 2>/dev/null) || break
    if echo "$box" | grep -q '&Yes'; then fd answer yes; else fd answer ok; fi
done
status=0
wait $wizard || status=$?
wizard=
[ $status -eq 0 ] || fail "the wizard ended with $status"
echo "e2e faq: the page fetched from 127.0.0.1:$port, shown by the FAQ button, its link opened as $got"
