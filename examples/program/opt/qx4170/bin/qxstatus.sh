#!/bin/sh
# Prints the installed program version and the state of the memory card.
conf=/opt/qx4170/etc/qx4170.conf
[ -r "$conf" ] && . "$conf"
echo "qx4170 program ${PROGRAM_VERSION:-unknown}"
if [ -d /QX4XX/MMC ]; then
    echo "card: present"
else
    echo "card: absent"
fi
