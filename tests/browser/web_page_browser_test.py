#!/usr/bin/env python3
"""The web page in a real browser: Chromium driven by Selenium against the
headless program and the camera simulator. Run inside a network namespace
of its own (see tests/CMakeLists.txt), so only its loopback can be reached.

    web_page_browser_test.py RECORDER SIMULATOR [RTSP_SIMULATOR]
Exit 77 (skipped) when Chromium, its driver or Selenium is missing.
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

recorder, simulator = sys.argv[1], sys.argv[2]
rtsp_simulator = sys.argv[3] if len(sys.argv) > 3 else ""
CAMERA_PORT, WEB_PORT = 8081, 8088
BASE = "http://127.0.0.1:%d" % WEB_PORT
PASSWORD = "browser pass 1"

work = tempfile.mkdtemp(prefix="ipcam-browser-")
settings = os.path.join(work, "ipcam-recorder.INI")
os.mkdir(os.path.join(work, "rec"))
with open(settings, "w") as f:
    f.write("[IPCAM_1]\nHost_Addr=127.0.0.1\nHost_Port=%d\nIPCAM_Password=pxwqe\nAVI_Directory=%s\n"
            "Resolution=1\nFrequency=1\nQuality=1\nBrightness=1\nCamera_URL=http://127.0.0.1:%d/stream\n"
            "Web_Address=127.0.0.1:%d\n" % (CAMERA_PORT, os.path.join(work, "rec"), CAMERA_PORT, WEB_PORT))
os.chmod(settings, 0o600)
subprocess.run([recorder, "--settings", settings, "--set-web-password"], input=PASSWORD + "\n",
               text=True, check=True, capture_output=True)

camera = subprocess.Popen([simulator, "--port", str(CAMERA_PORT), "--http-port", "0", "--mjpeg", "/stream",
                           "--fps", "10"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
service = subprocess.Popen([recorder, "--headless", "--settings", settings], cwd=work,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
driver = None
failed = []


def check(condition, what):
    if not condition:
        failed.append(what)
        print("FAILED:", what)


def sign_in(driver, wait, base):
    driver.get(base + "/signin")
    driver.find_element(By.ID, "user").send_keys("admin")
    driver.find_element(By.ID, "password").send_keys(PASSWORD)
    driver.find_element(By.ID, "password").submit()
    wait.until(lambda d: not d.current_url.endswith("/signin"))


def rtsp_live_video(driver, wait):
    """An RTSP camera: the live view is its H.264 video through Media Source
    Extensions, and it plays (its time goes on)."""
    if not rtsp_simulator:
        return
    rtsp_port, web_port = 8554, 8089
    base = "http://127.0.0.1:%d" % web_port
    folder = tempfile.mkdtemp(prefix="ipcam-browser-rtsp-")
    ini = os.path.join(folder, "ipcam-recorder.INI")
    os.mkdir(os.path.join(folder, "rec"))
    with open(ini, "w") as f:
        f.write("[IPCAM_1]\nHost_Addr=127.0.0.1\nAVI_Directory=%s\nCamera_URL=rtsp://127.0.0.1:%d/stream\n"
                "Web_Address=127.0.0.1:%d\n" % (os.path.join(folder, "rec"), rtsp_port, web_port))
    os.chmod(ini, 0o600)
    subprocess.run([recorder, "--settings", ini, "--set-web-password"], input=PASSWORD + "\n",
                   text=True, check=True, capture_output=True)
    rtsp = subprocess.Popen([rtsp_simulator, "--port", str(rtsp_port), "--fps", "25", "--gop", "25"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rtsp_service = subprocess.Popen([recorder, "--headless", "--settings", ini], cwd=folder,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        deadline = time.time() + 20
        while True:
            try:
                sign_in(driver, wait, base)
                break
            except Exception:
                if time.time() > deadline:
                    raise
                time.sleep(0.3)
        driver.get(base + "/#live")
        wait.until(lambda d: d.find_element(By.ID, "st-link").text.startswith("Up"))
        kind = lambda: driver.execute_script(
            "return document.getElementById('live-video').hidden ? 'pictures' : 'video'")
        wait.until(lambda d: d.execute_script("return document.getElementById('live-video').currentTime") > 0.5)
        check(kind() == "video", "an RTSP camera's live view is its video")
        first = driver.execute_script("return document.getElementById('live-video').currentTime")
        time.sleep(2)
        later = driver.execute_script("return document.getElementById('live-video').currentTime")
        check(later > first + 1, "the live video plays (%.2f, then %.2f)" % (first, later))
    finally:
        rtsp_service.terminate()
        try:
            rtsp_service.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            rtsp_service.kill()
        rtsp.terminate()
        rtsp.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)


try:
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--window-size=390,844"):  # a phone's width
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    wait = WebDriverWait(driver, 20)
    by_id = lambda name: driver.find_element(By.ID, name)

    deadline = time.time() + 20
    while True:
        try:
            driver.get(BASE + "/")
            break
        except Exception:
            if time.time() > deadline:
                raise
            time.sleep(0.3)
    check(driver.current_url.endswith("/signin"), "a visitor is sent to the sign-in page")
    by_id("user").send_keys("admin")
    by_id("password").send_keys("wrong")
    by_id("password").submit()
    wait.until(lambda d: d.find_elements(By.ID, "failed"))
    time.sleep(1.2)  # the failed sign-in's wait
    by_id("user").send_keys("admin")
    by_id("password").send_keys(PASSWORD)
    by_id("password").submit()
    wait.until(lambda d: d.current_url.rstrip("/").endswith(":%d" % WEB_PORT) or "#" in d.current_url)

    # Live: the link comes up and pictures are shown.
    wait.until(lambda d: by_id("st-link").text.startswith("Up"))
    wait.until(lambda d: d.execute_script("return document.getElementById('live-picture').naturalWidth") > 0)
    by_id("do-record").click()
    wait.until(lambda d: by_id("st-recording").text.startswith("Manual"))
    time.sleep(2.5)
    by_id("do-stop").click()
    wait.until(lambda d: by_id("st-recording").text == "not recording")

    # Recordings: the new one, played picture by picture.
    driver.get(BASE + "/#recordings")
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#rec-list button"))
    driver.find_element(By.CSS_SELECTOR, "#rec-list button").click()
    wait.until(lambda d: d.execute_script(
        "const i = document.querySelector('#player-view img'); return i && i.naturalWidth > 0"))
    wait.until(lambda d: int(by_id("player-seek").get_attribute("value")) >= 3)
    check(driver.find_element(By.CSS_SELECTOR, "#rec-list a").get_attribute("href").endswith("?download=1"),
          "a download link")

    # Settings: the core's check refuses a bad number with its own text.
    driver.get(BASE + "/#settings")
    wait.until(lambda d: d.find_elements(By.ID, "f-Keep_Days"))
    check(by_id("f-IPCAM_Password").get_attribute("value") == "", "no password in the page")
    check(by_id("f-IPCAM_Password").get_attribute("placeholder") == "unchanged", "the password's placeholder")
    keep = by_id("f-Keep_Days")
    keep.clear()
    keep.send_keys("abc")
    driver.find_element(By.CSS_SELECTOR, "#settings-form button[type=submit]").click()
    wait.until(lambda d: "Days to keep recordings must be a whole number" in by_id("settings-problem").text)

    # Log, then sign out.
    driver.get(BASE + "/#log")
    wait.until(lambda d: "Web page on http://127.0.0.1:8088" in by_id("log-lines").text)
    check(PASSWORD not in by_id("log-lines").text, "no password in the log")
    check("pbkdf2" not in by_id("log-lines").text, "no hash in the log")
    by_id("signout").click()
    wait.until(lambda d: d.current_url.endswith("/signin"))
    driver.get(BASE + "/api/status")
    check("cameraHost" not in driver.page_source, "signed out: the API gives nothing")
    driver.get(BASE + "/#live")
    check("/signin" in driver.current_url, "signed out: back at the sign-in page")

    rtsp_live_video(driver, wait)
except Exception as e:  # noqa: BLE001 - reported as the failure it is
    failed.append(repr(e))
    print("FAILED:", repr(e))
finally:
    if driver:
        driver.quit()
    service.terminate()
    try:
        out, _ = service.communicate(timeout=15)
    except subprocess.TimeoutExpired:
        service.kill()
        out, _ = service.communicate()
    camera.terminate()
    camera.wait(timeout=10)
    shutil.rmtree(work, ignore_errors=True)



def mkv_playback_scenario():
    """An RTSP camera (the RTSP test camera): Record, Stop, the MKV recording
    is listed, plays in the page (remuxed to MP4 by the server: the video's
    time advances) and the slider seeks. The failures, and the program's
    output when there are any."""
    rtsp_sim = os.path.join(os.path.dirname(os.path.abspath(simulator)), "ipcam-rtsp-sim")
    if not os.path.exists(rtsp_sim):
        print("no RTSP test camera built: MKV playback not checked")
        return [], ""
    problems = []
    port = 8089
    base = "http://127.0.0.1:%d" % port
    folder = tempfile.mkdtemp(prefix="ipcam-browser-mkv-")
    ini = os.path.join(folder, "ipcam-recorder.INI")
    os.mkdir(os.path.join(folder, "rec"))
    camera_process = subprocess.Popen([rtsp_sim, "--port", "8554", "--fps", "10", "--gop", "10"],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ready = camera_process.stdout.readline().split()
    url = ready[1] if len(ready) == 2 and ready[0] == "ready" else "rtsp://127.0.0.1:8554/stream"
    with open(ini, "w") as f:
        f.write("[IPCAM_1]\nHost_Addr=127.0.0.1\nHost_Port=8554\nIPCAM_Password=pxwqe\nAVI_Directory=%s\n"
                "Camera_URL=%s\nWeb_Address=127.0.0.1:%d\n" % (os.path.join(folder, "rec"), url, port))
    os.chmod(ini, 0o600)
    subprocess.run([recorder, "--settings", ini, "--set-web-password"], input=PASSWORD + "\n",
                   text=True, check=True, capture_output=True)
    program = subprocess.Popen([recorder, "--headless", "--settings", ini], cwd=folder,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    browser = None
    try:
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--no-first-run", "--disable-background-networking", "--disable-component-update",
                    "--disable-sync", "--window-size=1024,900"):
            options.add_argument(arg)
        browser = webdriver.Chrome(service=Service(DRIVER), options=options)
        until = WebDriverWait(browser, 30).until
        element = lambda name: browser.find_element(By.ID, name)
        video = "const v = document.querySelector('#player-view video'); "
        deadline = time.time() + 20
        while True:
            try:
                browser.get(base + "/signin")
                break
            except Exception:
                if time.time() > deadline:
                    raise
                time.sleep(0.3)
        element("user").send_keys("admin")
        element("password").send_keys(PASSWORD)
        element("password").submit()
        until(lambda d: element("st-link").text.startswith("Up"))
        element("do-record").click()
        until(lambda d: element("st-recording").text.startswith("Manual"))
        time.sleep(5)
        element("do-stop").click()
        until(lambda d: element("st-recording").text == "not recording")

        browser.get(base + "/#recordings")
        until(lambda d: d.find_elements(By.CSS_SELECTOR, "#rec-list button"))
        browser.find_element(By.CSS_SELECTOR, "#rec-list button").click()
        until(lambda d: d.execute_script(video + "return v && v.currentTime > 1"))
        if not element("player-name").text.endswith(".MKV"):
            problems.append("the RTSP camera's recording is an MKV")
        if int(element("player-seek").get_attribute("max")) < 3:
            problems.append("the slider spans the recording")
        # The slider moved to 3 s: played from the key frame there, the time shown from it.
        browser.execute_script("const s = document.getElementById('player-seek'); s.value = 3; "
                               "s.dispatchEvent(new Event('input')); s.dispatchEvent(new Event('change'));")
        until(lambda d: d.execute_script(video + "return v && v.src.includes('start=3') && v.currentTime > 0.3"))
        shown = int(element("player-seek").get_attribute("value"))
        if shown < 3:
            problems.append("after seeking the time shown is the start plus the video's time (%d)" % shown)
        if not element("player-time").text.startswith("0:0"):
            problems.append("the time shown: " + element("player-time").text)
        if browser.find_elements(By.ID, "player-problem"):
            problems.append("no problem shown: " + element("player-problem").text)

        # An H.265 recording: the page says this browser cannot play it and offers the download.
        ffmpeg = shutil.which("ffmpeg")
        day = element("player-name").text.split("/")[0]
        if ffmpeg and subprocess.run([ffmpeg, "-v", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10",
                                      "-frames:v", "10", "-c:v", "libx265", "-x265-params", "log-level=error",
                                      "-f", "matroska", os.path.join(folder, "rec", day, "000000T.MKV")]).returncode == 0:
            browser.get(base + "/#live")
            browser.get(base + "/#recordings")
            until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#rec-list button")) == 2)
            browser.find_elements(By.CSS_SELECTOR, "#rec-list button")[-1].click()
            until(lambda d: d.find_elements(By.ID, "player-problem"))
            if "H.265" not in element("player-problem").text:
                problems.append("H.265 said: " + element("player-problem").text)
            if not browser.find_element(By.CSS_SELECTOR, "#player-problem a").get_attribute("href").endswith(
                    day + "/000000T.MKV?download=1"):
                problems.append("H.265: the download offered")
    except Exception as e:  # noqa: BLE001 - reported as the failure it is
        problems.append("MKV playback: " + repr(e))
    finally:
        if browser:
            browser.quit()
        program.terminate()
        try:
            output, _ = program.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            program.kill()
            output, _ = program.communicate()
        camera_process.terminate()
        camera_process.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)
    for p in problems:
        print("FAILED:", p)
    return problems, output


mkv_failed, mkv_out = mkv_playback_scenario()
if mkv_failed:
    failed += mkv_failed
    out += mkv_out

if failed:
    print(out)
    sys.exit(1)
print("web page in Chromium: all checks passed")
