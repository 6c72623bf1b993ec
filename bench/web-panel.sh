#!/usr/bin/env bash
# The Qt WebEngine panel provider's cost to OBS's start-up, its time to the dock's first state and
# its memory; see bench/web_panel.js. Runs in OBS 29 and OBS 32, their figures side by side.
exec bash "$(dirname "$0")/on-both-obs.sh" bench/web_panel.js
