#!/usr/bin/env bash
# Starts the window, or says what it would start while the window is not built yet.
app=build/app/tintguard
if [ -x "$app" ]; then exec "$app" "$@"; fi
echo "Built everything; the window (build/app/tintguard) would start here once it exists."
