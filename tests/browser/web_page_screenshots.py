#!/usr/bin/env python3
"""Pictures of the web page for the README: Chromium (headless, Selenium)
against the headless program recording the camera simulator's moving scene,
everything on loopback. Run it inside a network namespace of its own, as
scripts/screenshots.sh does, so only that loopback can be reached.

    web_page_screenshots.py RECORDER SIMULATOR OUT_DIR
Writes web-signin.png, web-live.png, web-recordings.png, web-settings.png,
web-log.png (1280 wide) and web-live-phone.png, web-settings-phone.png
(390 wide). Exit 77 when Chromium, its driver or Selenium is missing.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("selenium is not installed")
    sys.exit(77)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    print("chromium or chromedriver is not installed")
    sys.exit(77)

recorder, simulator, out = (os.path.abspath(a) for a in sys.argv[1:4])
CAMERA_PORT, WEB_PORT = 8081, 8088
BASE = "http://127.0.0.1:%d" % WEB_PORT
PASSWORD = "screenshot pass"

work = tempfile.mkdtemp(prefix="ipcam-web-shots-")
settings = os.path.join(work, "ipcam-recorder.INI")
os.mkdir(os.path.join(work, "rec"))
with open(settings, "w") as f:
    f.write("[IPCAM_1]\nHost_Addr=127.0.0.1\nHost_Port=%d\nIPCAM_Password=pxwqe\nAVI_Directory=%s\n"
            "Resolution=0\nFrequency=1\nQuality=1\nBrightness=1\nKeep_Days=30\nMotion_Detection_Enabled=0\n"
            "Motion_sensitivity=5\nCamera_URL=http://127.0.0.1:%d/stream\nWeb_Address=127.0.0.1:%d\n"
            % (CAMERA_PORT, os.path.join(work, "rec"), CAMERA_PORT, WEB_PORT))
os.chmod(settings, 0o600)
subprocess.run([recorder, "--settings", settings, "--set-web-password"], input=PASSWORD + "\n",
               text=True, check=True, capture_output=True)
camera = service = driver = None
try:
    camera = subprocess.Popen([simulator, "--port", str(CAMERA_PORT), "--http-port", "0", "--mjpeg", "/stream",
                               "--size", "640x480", "--fps", "10", "--name", "Front door"],
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    service = subprocess.Popen([recorder, "--headless", "--settings", settings], cwd=work,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
except Exception:
    for p in (service, camera):
        if p:
            p.kill()
    raise


def viewport(width, height, phone):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": phone})


def shoot(name):
    time.sleep(0.5)
    path = os.path.join(out, name)
    driver.save_screenshot(path)
    print("wrote", path)


try:
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--hide-scrollbars", "--window-size=1280,800"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    wait = WebDriverWait(driver, 30)
    by_id = lambda name: driver.find_element(By.ID, name)
    viewport(1280, 800, False)

    deadline = time.time() + 20
    while True:
        try:
            driver.get(BASE + "/signin")
            break
        except Exception:
            if time.time() > deadline:
                raise
            time.sleep(0.3)
    shoot("web-signin.png")
    by_id("user").send_keys("admin")
    by_id("password").send_keys(PASSWORD)
    by_id("password").submit()
    wait.until(lambda d: not d.current_url.endswith("/signin"))

    # Live, while recording: the camera's picture and the recording's counters.
    driver.get(BASE + "/#live")
    wait.until(lambda d: by_id("st-link").text.startswith("Up"))
    wait.until(lambda d: d.execute_script("return document.getElementById('live-picture').naturalWidth") > 0)
    by_id("do-record").click()
    wait.until(lambda d: by_id("st-recording").text.startswith("Manual"))
    time.sleep(4)
    shoot("web-live.png")
    by_id("do-stop").click()
    wait.until(lambda d: by_id("st-recording").text == "not recording")

    # Recordings: the one just made, open in the player.
    driver.get(BASE + "/#recordings")
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#rec-list button"))
    driver.find_element(By.CSS_SELECTOR, "#rec-list button").click()
    wait.until(lambda d: d.execute_script(
        "const i = document.querySelector('#player-view img'); return i && i.naturalWidth > 0"))
    time.sleep(1.5)
    shoot("web-recordings.png")

    driver.get(BASE + "/#settings")
    wait.until(lambda d: d.find_elements(By.ID, "f-Keep_Days"))
    shoot("web-settings.png")

    driver.get(BASE + "/#log")
    wait.until(lambda d: "Recording finished" in by_id("log-lines").text)
    shoot("web-log.png")

    # A phone's width.
    viewport(390, 844, True)
    driver.get(BASE + "/#live")
    wait.until(lambda d: d.execute_script("return document.getElementById('live-picture').naturalWidth") > 0)
    time.sleep(1)
    shoot("web-live-phone.png")
    driver.get(BASE + "/#settings")
    wait.until(lambda d: d.find_elements(By.ID, "f-Keep_Days"))
    shoot("web-settings-phone.png")
finally:
    if driver:
        driver.quit()
    for p in (service, camera):
        p.terminate()
        try:
            p.wait(timeout=15)
        except subprocess.TimeoutExpired:
            p.kill()
    shutil.rmtree(work, ignore_errors=True)
