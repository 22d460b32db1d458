# The stand-ins an end-to-end script needs for the network, sourced after the
# script has set $tools, $tools_win, $views and the helpers w and alone:
#   service_start <site folder>   fakeservice on 127.0.0.1 serving the folder
#                                 (check.xml answers the daily check), with
#                                 the program's service addresses and the
#                                 phone number pointed at it; sets $port; it
#                                 answers the number in $service_phone, when
#                                 the script set one
#   browser_register              urlrecorder.exe as the open command of http
#                                 and https; the addresses go to $tools/urls.log
#   service_cleanup               the browser's commands and the addresses
#                                 put back, the stand-in ended
# Nothing leaves the machine: every address the program asks is the stand-in's.

saved_browser=()
service=
port=
cp "$bin/urlrecorder.exe" "$bin/fakeservice.exe" "$tools/"

service_start() { # <site folder, under $tools>
    (exec "$KORV_WINE" "$tools_win\\fakeservice.exe" --root "$tools_win\\$1" --log "$tools_win\\svc.log" \
        --phone "${service_phone:-1-800-555-0199}" --deadline 900 </dev/null >"$tools/port.txt" 2>/dev/null) &
    service=$!
    for _ in $(seq 100); do grep -q '^port=' "$tools/port.txt" 2>/dev/null && break; sleep 0.2; done
    port=$(sed -n 's/^port=\([0-9]*\).*/\1/p' "$tools/port.txt" | tr -d '\r')
    [ -n "$port" ] || fail "the stand-in service did not start"
    service_point
}

# The program's service addresses at the stand-in (again after an install).
service_point() {
    local base="http://127.0.0.1:$port"
    w reg add 'HKLM\Software\Korvelle' /v LI_URL /d "$base/client.asmx/GetXML?action=%ACTION%&cr=%CU%" \
        /reg:32 /f >/dev/null
    w reg add 'HKLM\Software\Korvelle' /v PHONE_URL /d "$base/client.asmx/GetPhone" /reg:32 /f >/dev/null
    w reg add 'HKLM\Software\Korvelle' /v FAQ_URL /d "$base/faq.htm" /reg:32 /f >/dev/null
}

browser_register() {
    for s in http https; do for v in "${views[@]}"; do
        local old
        old=$(w reg query "HKCR\\$s\\shell\\open\\command" /ve /reg:$v |
              sed -n 's/^ *(Default) *REG_[A-Z_]* *//p' | head -1 || true)
        saved_browser+=("$s|$v|$old")
        w reg add "HKCR\\$s\\shell\\open\\command" /ve \
            /d "\"$tools_win\\urlrecorder.exe\" \"$tools_win\\urls.log\" \"%1\"" /f /reg:$v >/dev/null
    done; done
}

service_cleanup() {
    local entry s v old
    for entry in "${saved_browser[@]}"; do
        IFS='|' read -r s v old <<< "$entry"
        if [ -n "$old" ]; then
            w reg add "HKCR\\$s\\shell\\open\\command" /ve /d "$old" /f /reg:$v >/dev/null || true
        else
            w reg delete "HKCR\\$s\\shell\\open\\command" /ve /f /reg:$v >/dev/null || true
        fi
    done
    for name in LI_URL PHONE_URL FAQ_URL PHONE_NUMBER TRACK_USER TRACK; do
        w reg delete 'HKLM\Software\Korvelle' /v $name /f /reg:32 >/dev/null || true
    done
    if [ -n "$service" ]; then
        [ -n "$port" ] && command -v curl >/dev/null && curl -s -m 5 "http://127.0.0.1:$port/__quit" >/dev/null || true
        kill "$service" 2>/dev/null || true
    fi
}

# Two news items of the daily check's reply, each with a page of the site:
# a left banner whose link carries a macro, and a bottom banner.
news_site() { # <site folder, under $tools>
    local site=$tools/$1
    mkdir -p "$site"
    cat > "$site/check.xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<Check>
  <NewsList>
    <News key="e2e.left" version="1" category="leftbanner" priority="1010" width="172" height="142"
          defaulturl="https://www.korvelle.com/left" defaultpage="http://127.0.0.1:$port/left.htm"/>
    <News key="e2e.bottom" version="1" category="bottombanner" priority="1010" width="598" height="78"
          defaulturl="https://www.korvelle.com/bottom" defaultpage="http://127.0.0.1:$port/bottom.htm"/>
  </NewsList>
</Check>
XML
    cat > "$site/left.htm" <<'HTML'
<html><body style="margin:20px">
<div id="main" style="width:172px; height:142px" bgcolor="#FFF4D6">
<p><b>Korvelle Pro</b></p>
<p>Keep your registry clean every week.</p>
<p><a href="https://www.korvelle.com/pro?lng=%LNG%">Get Korvelle Pro</a></p>
</div></body></html>
HTML
    cat > "$site/bottom.htm" <<'HTML'
<html><body>
<div id="main" style="width:598px; height:78px" bgcolor="#E6F0FF">
<p><b>New:</b> Korvelle now cleans the start-up list too.
<a href="https://www.korvelle.com/news?from=bottom">Read more</a></p>
</div></body></html>
HTML
}
