#!/bin/bash
# Builds the Debian packages from a built tree with cpack (in a temporary folder, no rebuild),
# unpacks them with dpkg -x into a temporary root and checks them as a user's machine would get
# them: the files and their places, the menu entry, the icons, the Depends line against the
# libraries the updater really links, the AppStream metadata of software centres, that the
# unpacked updater starts (shows its port dialog) and draws its logo, which is compiled into the
# executable, and that the terminal updater, corvane-upload, has a manual page that renders
# without warnings, runs without a display and links no Qt Widgets or Gui library.
# Usage: check-package.sh BUILD_DIR
#        check-package.sh --logo-check UPDATER WORK_DIR   (inside an X server; used by the above)
set -u
export JACK_NO_START_SERVER=1

fail() { echo "check-package: $*" >&2; exit 1; }

# The pixels of the main window where the logo's left part is drawn (the label at 30, 240 of
# 311 x 41; message boxes and the port dialog open further right): light grey letters and the
# blue-to-green wave. Without the logo resource the window is black there.
logo_pixels() { # logo_pixels PNG: prints "LETTER_PIXELS WAVE_PIXELS"
    convert "$1" -crop 200x41+40+240 +repage -depth 8 txt:- | awk -F'[(),]+' '
        NR > 1 { r = $3; g = $4; b = $5
                 if (r > 200 && g > 200 && b > 200) letters++
                 else if (r < 80 && (b > 100 || g > 100)) wave++ }
        END { print letters + 0, wave + 0 }'
}

if [ "${1:-}" = "--logo-check" ]; then
    updater=$2 work=$3
    QT_QPA_PLATFORM=xcb "$updater" >"$work/xcb.log" 2>&1 &
    app=$!
    main=""
    for _ in $(seq 100); do
        for id in $(xdotool search --onlyvisible --pid "$app" 2>/dev/null); do
            [ "$(xdotool getwindowname "$id")" = "Corvane Uploader" ] &&
                xdotool getwindowgeometry "$id" | grep -q "Geometry: 675x332" && main=$id
        done
        [ -n "$main" ] && break
        sleep 0.1
    done
    [ -n "$main" ] || { kill "$app"; cat "$work/xcb.log" >&2; fail "no main window under X"; }
    # Started: the port dialog is shown (after the box saying there is no MIDI service).
    "$(dirname "$0")/../gui/port-dialog-shown.sh" "$app" ||
        { kill "$app"; cat "$work/xcb.log" >&2; fail "the updater did not show its port dialog"; }
    sleep 0.5 # let the dialog settle
    wmclass=$(xprop -id "$main" WM_CLASS)
    import -window "$main" "$work/main-window.png"
    kill "$app"
    wait "$app" 2>/dev/null
    ! grep -qi "qt.qpa\|could not load\|cannot load" "$work/xcb.log" ||
        { cat "$work/xcb.log" >&2; fail "Qt could not load a plugin"; }
    read -r letters wave < <(logo_pixels "$work/main-window.png")
    echo "check-package: logo area: $letters letter pixels, $wave wave pixels; $wmclass"
    [ "$letters" -ge 200 ] && [ "$wave" -ge 100 ] ||
        fail "the main window does not show the logo (screenshot $work/main-window.png)"
    # The menu entry's StartupWMClass must name the window's class, or docks show no icon.
    echo "$wmclass" | grep -q "\"corvane-uploader\"" || fail "window class is not corvane-uploader"
    exit 0
fi

build=${1:?usage: check-package.sh BUILD_DIR}
work=$(mktemp -d /tmp/corvane-package-XXXXXX)
root=$work/root
app=""
cleanup() { [ -n "$app" ] && kill "$app" 2>/dev/null; wait 2>/dev/null; }
trap cleanup EXIT
for tool in cpack dpkg-deb dpkg-shlibdeps desktop-file-validate appstreamcli identify xdotool \
    xprop Xvfb groff readelf; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

# --- build the packages from the built tree
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb=$work/out/corvane-uploader_${version}_$arch.deb
devtools=$work/out/corvane-uploader-devtools_${version}_$arch.deb
[ -f "$deb" ] || { ls "$work/out" >&2; fail "no $(basename "$deb")"; }
[ -f "$devtools" ] || { ls "$work/out" >&2; fail "no $(basename "$devtools")"; }
[ "$(dpkg-deb -f "$deb" Package)" = corvane-uploader ] || fail "wrong package name"
[ "$(dpkg-deb -f "$devtools" Package)" = corvane-uploader-devtools ] || fail "wrong devtools name"

# --- exactly these files, in the usual places
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sort; }
expected="./usr/bin/corvane-uploader
./usr/bin/corvane-upload
./usr/share/man/man1/corvane-upload.1.gz
./usr/share/doc/corvane-uploader/corvane-upload.schema.json
./usr/share/applications/corvane-uploader.desktop
./usr/share/metainfo/com.corvane.uploader.metainfo.xml"
for size in 16 32 48 64 128 256; do
    expected+=$'\n'"./usr/share/icons/hicolor/${size}x$size/apps/corvane-uploader.png"
done
[ "$(files "$deb")" = "$(sort <<<"$expected")" ] ||
    { diff <(sort <<<"$expected") <(files "$deb") >&2; fail "the updater package's files differ"; }
[ "$(files "$devtools")" = "./usr/bin/corvane-device-sim
./usr/bin/corvane-make-update" ] || { files "$devtools" >&2; fail "the devtools package's files differ"; }

dpkg -x "$deb" "$root" || fail "dpkg -x failed"
dpkg -x "$devtools" "$root" || fail "dpkg -x of the devtools failed"
updater=$root/usr/bin/corvane-uploader
[ -x "$updater" ] || fail "the updater is not executable"
upload=$root/usr/bin/corvane-upload
[ -x "$upload" ] || fail "corvane-upload is not executable"

# --- the terminal updater: its manual page renders without warnings; it prints the package's
# version with no display to reach, and links neither Qt Widgets nor Qt Gui
page=$(zcat "$root/usr/share/man/man1/corvane-upload.1.gz") || fail "the manual page is not gzipped"
rendered=$(groff -man -ww -Tutf8 <<<"$page" 2>"$work/groff.log")
[ ! -s "$work/groff.log" ] || { cat "$work/groff.log" >&2; fail "groff warns about the manual page"; }
grep -q "^CORVANE-UPLOAD(1) " <<<"$rendered" || fail "the manual page is not corvane-upload(1)"
upload_version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 10 \
    "$upload" --version </dev/null 2>&1) ||
    { echo "$upload_version" >&2; fail "corvane-upload --version failed without a display"; }
grep -qwF -- "$version" <<<"$upload_version" ||
    fail "corvane-upload --version printed \"$upload_version\", not the version $version"
readelf -d "$upload" >"$work/upload-dynamic.txt" || fail "readelf failed on corvane-upload"
qt_gui=$(sed -n 's/.*(NEEDED).*\[\(libQt[0-9]*\(Widgets\|Gui\)[.].*\)\]/\1/p' "$work/upload-dynamic.txt")
[ -z "$qt_gui" ] || fail "corvane-upload links ${qt_gui//$'\n'/ }; it must run without a display"

# --- Depends: every library the updater links directly comes from a package named there
depends=$(dpkg-deb -f "$deb" Depends)
echo "check-package: Depends: $depends"
dep_names=" $(echo "$depends" | tr ',|' '\n\n' | awk '{ print $1 }' | tr '\n' ' ') "
# The Qt libraries of the version the tree was built with.
qt=$(sed -n 's/^CORVANE_QT_MAJOR:[A-Z]*=//p' "$build/CMakeCache.txt")
case $qt in
5) qt_packages="libqt5widgets5 libqt5gui5 libqt5core5a" other=libqt6 ;;
6) qt_packages="libqt6widgets6 libqt6gui6 libqt6core6" other=libqt5 ;;
*) fail "the build's CORVANE_QT_MAJOR is \"$qt\"" ;;
esac
[[ "$dep_names" != *" $other"* ]] || fail "a Qt $qt build depends on $other"
for p in $qt_packages librtmidi6 libc6 libstdc++6; do
    [[ "$dep_names" == *" $p "* ]] || fail "Depends lacks $p"
done
ldd_out=$(ldd "$updater") || fail "ldd failed on the unpacked updater"
! grep -q "not found" <<<"$ldd_out" || { echo "$ldd_out" >&2; fail "unresolved libraries"; }
for soname in $(readelf -d "$updater" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    path=$(awk -v s="$soname" '$1 == s { print $3 }' <<<"$ldd_out")
    owner=$( (dpkg -S "$path" || dpkg -S "$(realpath "$path")" || dpkg -S "/usr$path") 2>/dev/null |
            head -1 | cut -d: -f1)
    [ -n "$owner" ] || fail "no package owns $path ($soname)"
    [[ "$dep_names" == *" $owner "* ]] || fail "$soname comes from $owner, which Depends does not name"
done

# --- the menu entry and its icons
desktop=$root/usr/share/applications/corvane-uploader.desktop
desktop-file-validate "$desktop" || fail "the .desktop entry is not valid"
key() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(key Name)" = "Corvane Uploader" ] || fail "Name is \"$(key Name)\""
[ "$(key Type)" = "Application" ] || fail "Type is \"$(key Type)\""
[ -x "$root/usr/bin/$(key Exec | awk '{ print $1 }')" ] || fail "Exec \"$(key Exec)\" is not installed"
for category in Audio Midi; do
    [[ ";$(key Categories)" == *";$category;"* ]] || fail "Categories lack $category"
done
icon=$(key Icon)
for size in 16 32 48 64 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x$size/apps/$icon.png
    [ "$(identify -format '%m %wx%h' "$png" 2>/dev/null)" = "PNG ${size}x$size" ] ||
        fail "no ${size}x$size PNG icon named $icon"
done

# --- the software centre's metadata: valid (no URL is fetched), for the installed menu entry, with
# the guide's pictures as screenshots
metainfo=$root/usr/share/metainfo/com.corvane.uploader.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "the AppStream metainfo is not valid"
grep -q "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" "$metainfo" ||
    fail "the metainfo does not name $(basename "$desktop")"
shots=$(sed -n 's|.*<image>.*/docs/images/\(.*\)</image>.*|\1|p' "$metainfo")
[ -n "$shots" ] || fail "the metainfo has no screenshots from docs/images"
for shot in $shots; do
    [ -f "$(dirname "$0")/../../docs/images/$shot" ] || fail "no screenshot docs/images/$shot"
done

# --- the unpacked updater starts, and draws its logo from its compiled-in resources
"$(dirname "$0")/../with-xvfb.sh" "$0" --logo-check "$updater" "$work" ||
    fail "logo check failed (files in $work)"

echo "check-package: $(basename "$deb") and $(basename "$devtools") are complete"
rm -rf "$work"
