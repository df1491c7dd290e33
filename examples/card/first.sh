#!/bin/sh
# The card's first script: runs once, from the card folder, before the first
# package is laid down. Keeps a note of the upgrade on the device.
mkdir -p /var/log
echo "upgrade from card $(pwd): $(ls *.tuf 2>/dev/null | tr '\n' ' ')" >> /var/log/upgrade.log
echo "first script: upgrade noted in /var/log/upgrade.log"
