"""What the browser scripts share: Chromium driven by Selenium (Debian's
packages), a settings file for the program with its web page on loopback,
the program and its cameras started and ended. Exit 77 (skipped) on import
when Chromium, its driver or Selenium is missing."""
import os
import shutil
import subprocess
import sys
import time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By  # noqa: F401 - for the scripts
    from selenium.webdriver.support.ui import WebDriverWait  # noqa: F401 - for the scripts
except ImportError:
    print("selenium is not installed")
    sys.exit(77)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    print("chromium or chromedriver is not installed")
    sys.exit(77)


def write_settings(recorder, folder, web_port, password, camera_lines):
    """The settings file in `folder` (recordings in folder/rec): the camera as
    `camera_lines` give it, the web page on 127.0.0.1:`web_port` with
    `password` set through the program itself. Its path."""
    ini = os.path.join(folder, "ipcam-recorder.INI")
    os.makedirs(os.path.join(folder, "rec"), exist_ok=True)
    with open(ini, "w") as f:
        f.write("[IPCAM_1]\nHost_Addr=127.0.0.1\nAVI_Directory=%s\n%sWeb_Address=127.0.0.1:%d\n"
                % (os.path.join(folder, "rec"), camera_lines, web_port))
    os.chmod(ini, 0o600)
    subprocess.run([recorder, "--settings", ini, "--set-web-password"], input=password + "\n",
                   text=True, check=True, capture_output=True)
    return ini


def start_service(recorder, ini, keep_output=True):
    """The headless program with settings `ini`, its output kept (or dropped)."""
    output = subprocess.PIPE if keep_output else subprocess.DEVNULL
    return subprocess.Popen([recorder, "--headless", "--settings", ini], cwd=os.path.dirname(ini),
                            stdout=output, stderr=subprocess.STDOUT, text=True)


def end(process):
    """Ends a process started here; what it wrote when it was kept."""
    if process is None:
        return ""
    process.terminate()
    try:
        output, _ = process.communicate(timeout=15)
    except subprocess.TimeoutExpired:
        process.kill()
        output, _ = process.communicate()
    return output or ""


def chromium(width, height, *extra):
    """A headless Chromium with a window of that size."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--window-size=%d,%d" % (width, height)) + extra:
        options.add_argument(arg)
    return webdriver.Chrome(service=Service(DRIVER), options=options)


def open_when_served(driver, url, seconds=20):
    """Opens `url`, trying again while the program is still starting."""
    deadline = time.time() + seconds
    while True:
        try:
            driver.get(url)
            return
        except Exception:
            if time.time() > deadline:
                raise
            time.sleep(0.3)


def sign_in(driver, wait, base, password, user="admin"):
    """Signs in through the form, once the program serves it."""
    open_when_served(driver, base + "/signin")
    driver.find_element(By.ID, "user").send_keys(user)
    driver.find_element(By.ID, "password").send_keys(password)
    driver.find_element(By.ID, "password").submit()
    wait.until(lambda d: not d.current_url.endswith("/signin"))
