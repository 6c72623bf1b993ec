#!/usr/bin/env bash
# The dock's time from page load to the first drawn state in Chromium; see bench/dock_load.js.
# Runs in OBS 29 and OBS 32, their figures side by side.
exec bash "$(dirname "$0")/on-both-obs.sh" bench/dock_load.js
