#!/usr/bin/env bash
# Starts the window, or says what it would start while the window is not built yet.
app=build/bin/tintguard
if [ -x "$app" ]; then exec "$app" "$@"; fi
echo "Built everything; the window (build/bin/tintguard) would start here once it exists."
