"""What the fortune-site benchmarks (bench/parts/70-site, 75-site-attacks) share:
starting fortune-site and nginx on 127.0.0.1, and printing a figure."""
import json
import os
import re
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("BENCH_BUILD", os.path.join(ROOT, "build-bench"))
DATA = os.environ.get("BENCH_DATA", os.path.join(ROOT, "bench", "out"))
SITE = os.path.join(BUILD, "download", "site", "fortune-site")
NGINX = "/usr/sbin/nginx"


def emit(name, value, unit, anchor, anchor_value, ratio):
    print(json.dumps({"name": name, "value": round(value, 6), "unit": unit, "anchor": anchor,
                      "anchor_value": anchor_value, "ratio": None if ratio is None else round(ratio, 4)}),
          flush=True)


def env_without_proxy():
    env = dict(os.environ)
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "https_proxy", "HTTPS_PROXY"):
        env.pop(proxy, None)
    return env


def start_site(files, env, site=SITE):
    """fortune-site on a free port: the process, its port, the seconds until it served."""
    started = time.monotonic()
    args = [site, "--port", "0"]
    for f in files:
        args += ["--file", f]
    process = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, env=env)
    banner = process.stdout.readline()
    m = re.search(r":(\d+)/", banner)
    if not m:
        process.kill()
        sys.exit("fortune-site did not start: %r" % banner)
    return process, int(m.group(1)), time.monotonic() - started


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(root, pages):
    """nginx with one worker serving pages ({name: bytes}) as static files from root."""
    for name, page in pages.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(page)
    port = free_port()
    user = "user root;\n" if os.geteuid() == 0 else ""
    with open(os.path.join(root, "nginx.conf"), "w") as f:
        f.write("""%sdaemon off; master_process off; pid %s/nginx.pid; error_log %s/error.log warn;
events { worker_connections 1024; }
http { access_log off; types { text/html shtml; } client_body_temp_path %s/body; proxy_temp_path %s/proxy;
    fastcgi_temp_path %s/fastcgi; uwsgi_temp_path %s/uwsgi; scgi_temp_path %s/scgi;
    server { listen 127.0.0.1:%d; root %s; } }
""" % (user, root, root, root, root, root, root, root, port, root))
    nginx = subprocess.Popen([NGINX, "-p", root + "/", "-e", root + "/error.log", "-c", root + "/nginx.conf"])
    for _ in range(500):
        if os.path.exists(os.path.join(root, "nginx.pid")):
            return nginx, port
        time.sleep(0.01)
    nginx.kill()
    sys.exit("nginx did not start")


def stop(*processes):
    for p in processes:
        p.terminate()
        p.wait()


def peak_memory_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1))
