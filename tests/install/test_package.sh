#!/usr/bin/env bash
# The Debian package of this build tree: lintian finds no error in it, and the
# demo runs from a scratch root it is unpacked into (scripts/package deb).
build=$1
for tool in cpack dpkg-deb lintian; do
  command -v "$tool" >/dev/null || { echo "package: $tool not installed (scripts/install-deps package), skipped"; exit 77; }
done
# The demo of the package serves a controller no deployment uses by default.
KQ_DEMO_CONTROLLER=64 KQ_PACKAGE_BUILD=$build "$(dirname "$0")/../../scripts/package" deb
