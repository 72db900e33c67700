"""A minimal Python host: logs in to the device on 127.0.0.1 at the port given,
reads configuration item 13, watches 10 live frames, logs out.
Usage: python3 host.py PORT"""
import sys

import qnvnet

with qnvnet.Device("127.0.0.1", int(sys.argv[1]), "admin", "admin") as dev:
    print("config 13: %d bytes" % len(dev.config_get(13)))
    with dev.live() as channel:
        print("live: %d frames" % len(list(channel.frames(count=10))))
