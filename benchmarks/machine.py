"""What every benchmark prints of the machine it ran on: the processor's model, from /proc/cpuinfo
where the system has one, else what Python's platform module knows."""

import platform


def processor_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine() or "processor unknown"
