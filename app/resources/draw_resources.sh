#!/bin/sh
# Draws every picture of the desktop program from the SVG sources in src/ and
# writes them where resources.qrc expects them (and the Linux desktop-entry icons
# to appicon/). The outputs are committed; the build does not run this script.
#
# Needs rsvg-convert and ImageMagick's convert and identify:
#   apt-get install librsvg2-bin imagemagick
# Run from anywhere:  sh app/resources/draw_resources.sh
set -eu

cd "$(dirname "$0")"
SRC=src
ICONS=icons/resource
BTNS=btns/resource
IMAGES=images/resource
APPICON=appicon

for tool in rsvg-convert convert identify; do
  command -v "$tool" >/dev/null 2>&1 || { echo "draw_resources.sh: $tool is missing (apt-get install librsvg2-bin imagemagick)" >&2; exit 1; }
done

mkdir -p "$ICONS" "$BTNS" "$IMAGES" "$APPICON"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

# render SOURCE.svg OUT.png WIDTH HEIGHT [STYLESHEET.css]
# Renders at exactly WIDTH x HEIGHT and rewrites the PNG as 8-bit RGBA without
# time stamps, so that a re-run gives the same bytes.
render() {
  if [ $# -ge 5 ]; then
    rsvg-convert -s "$SRC/$5" -w "$3" -h "$4" "$SRC/$1" -o "$tmp/r.png"
  else
    rsvg-convert -w "$3" -h "$4" "$SRC/$1" -o "$tmp/r.png"
  fi
  convert "$tmp/r.png" -strip -define png:exclude-chunks=date,time PNG32:"$2"
}

# --- application icon: hand-tuned drawings for 16 and 32 px, the full one above
for n in 16 32 48 64 128 256; do
  case $n in
    16) s=appicon_16.svg ;;
    32) s=appicon_32.svg ;;
    *)  s=appicon.svg ;;
  esac
  render "$s" "$APPICON/lumarek-recovery-$n.png" "$n" "$n"
done
cp "$APPICON/lumarek-recovery-256.png" "$ICONS/icon_256.png"
convert "$APPICON/lumarek-recovery-16.png" "$APPICON/lumarek-recovery-32.png" \
        "$APPICON/lumarek-recovery-48.png" "$APPICON/lumarek-recovery-64.png" \
        "$APPICON/lumarek-recovery-128.png" "$APPICON/lumarek-recovery-256.png" \
        "$ICONS/icon.ico"

# --- "start scan" button icon
render scan_icon_16.svg "$tmp/scan-16.png" 16 16
render scan_icon.svg "$tmp/scan-24.png" 24 24
render scan_icon.svg "$tmp/scan-32.png" 32 32
convert "$tmp/scan-16.png" "$tmp/scan-24.png" "$tmp/scan-32.png" "$ICONS/scan_icon.ico"

# --- icons at their single size
render icon_partition.svg        "$ICONS/icon_partition.png"        32 32
render icon_disk.svg             "$ICONS/icon_disk.png"             128 128
render icon_category_image.svg    "$ICONS/icon_category_image.png"    67 71
render icon_category_document.svg "$ICONS/icon_category_document.png" 67 71
render icon_category_video.svg    "$ICONS/icon_category_video.png"    67 71
render icon_category_other.svg    "$ICONS/icon_category_other.png"    67 71
render icon_category_zip.svg      "$ICONS/icon_category_zip.png"      68 71
render icon_checked.svg          "$ICONS/icon_checked.png"          20 20
render icon_unchecked.svg        "$ICONS/icon_unchecked.png"        20 20
render icon_preview_default.svg  "$ICONS/icon_preview_default.png"  50 50
render icon_preview_play.svg     "$ICONS/icon_preview_play.png"     50 50
render title.svg                 "$IMAGES/title.png"                150 23

# --- title-bar buttons: the SVG draws the normal state, a style sheet the others
for kind in close min max; do
  if [ "$kind" = close ]; then w=30; else w=31; fi
  render "windows_$kind.svg" "$BTNS/windows_${kind}_normal.png"  "$w" 19
  render "windows_$kind.svg" "$BTNS/windows_${kind}_hover.png"   "$w" 19 windows_hover.css
  render "windows_$kind.svg" "$BTNS/windows_${kind}_pressed.png" "$w" 19 windows_pressed.css
done
for kind in close min max; do
  if [ "$kind" = close ]; then h=42; else h=44; fi
  nw=42; nh=$h
  if [ "$kind" = max ]; then nw=40; nh=42; fi
  render "mac_$kind.svg" "$BTNS/mac_${kind}_normal.png"  "$nw" "$nh"
  render "mac_$kind.svg" "$BTNS/mac_${kind}_hover.png"   42 "$h" mac_hover.css
  render "mac_$kind.svg" "$BTNS/mac_${kind}_pressed.png" 42 "$h" mac_pressed.css
done

# --- check every output's size (ICO files: the size of each image in them)
fail=0
expect() {
  got=$(identify -format '%wx%h ' "$1" | sed 's/ $//')
  if [ "$got" != "$2" ]; then
    echo "draw_resources.sh: $1 is $got, expected $2" >&2
    fail=1
  fi
}
expect "$ICONS/icon.ico" "16x16 32x32 48x48 64x64 128x128 256x256"
expect "$ICONS/scan_icon.ico" "16x16 24x24 32x32"
expect "$ICONS/icon_256.png" 256x256
for n in 16 32 48 64 128 256; do expect "$APPICON/lumarek-recovery-$n.png" "${n}x$n"; done
expect "$ICONS/icon_partition.png" 32x32
expect "$ICONS/icon_disk.png" 128x128
for k in image document video other; do expect "$ICONS/icon_category_$k.png" 67x71; done
expect "$ICONS/icon_category_zip.png" 68x71
expect "$ICONS/icon_checked.png" 20x20
expect "$ICONS/icon_unchecked.png" 20x20
expect "$ICONS/icon_preview_default.png" 50x50
expect "$ICONS/icon_preview_play.png" 50x50
expect "$IMAGES/title.png" 150x23
for s in normal hover pressed; do
  expect "$BTNS/windows_close_$s.png" 30x19
  expect "$BTNS/windows_min_$s.png" 31x19
  expect "$BTNS/windows_max_$s.png" 31x19
  expect "$BTNS/mac_close_$s.png" 42x42
  expect "$BTNS/mac_min_$s.png" 42x44
done
expect "$BTNS/mac_max_normal.png" 40x42
expect "$BTNS/mac_max_hover.png" 42x44
expect "$BTNS/mac_max_pressed.png" 42x44
[ "$fail" = 0 ] || exit 1
echo "draw_resources.sh: all pictures drawn"
