// How fast a make picture page answers a learner in headless Chromium
// (puppeteer-core, Debian's chromium) at 1400x900: the time from opening
// the file to the first step drawn, and for each right-arrow press, the
// time until two animation frames have been painted after it, 20 presses
// from step 1 and 20 from the middle. Prints one line of JSON, in ms.
// Usage: node page_step.js PAGE.html NODE_MODULES
const [page_, modules] = process.argv.slice(2);
const puppeteer = require(`${modules}/puppeteer-core`);
const {pathToFileURL} = require("url");

const median = (times) => [...times].sort((a, b) => a - b)[Math.floor(times.length / 2)];

(async () => {
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium", headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run"]});
  try {
    const page = await browser.newPage();
    await page.setViewport({width: 1400, height: 900});
    const presses = async (from) => {
      await page.goto(`${pathToFileURL(page_).href}#step=${from}`);
      await page.reload();
      const times = [];
      for (let i = 0; i < 20; i++) {
        const started = Date.now();
        await page.keyboard.press("ArrowRight");
        await page.evaluate(() => new Promise((done) =>
          requestAnimationFrame(() => requestAnimationFrame(done))));
        times.push(Date.now() - started);
      }
      return times;
    };
    const started = Date.now();
    await page.goto(pathToFileURL(page_).href, {waitUntil: "load"});
    await page.evaluate(() => new Promise((done) =>
      requestAnimationFrame(() => requestAnimationFrame(done))));
    const opened = Date.now() - started;
    const steps = await page.evaluate(() => trace.steps.length);
    const first = await presses(1), middle = await presses(Math.floor(steps / 2));
    console.log(JSON.stringify({steps, open: opened, fromFirst: median(first),
                                fromMiddle: median(middle)}));
  } finally {
    await browser.close();
  }
})();
