// Drives a make picture page in headless Chromium (puppeteer-core, Debian's
// chromium) at 1400x900, as a learner would, and prints what it saw as
// JSON for lab/tests/picture_test.py to judge.
// Usage: node picture_page.js PAGE.html NODE_MODULES [CHOICES.html]
// CHOICES.html: a page whose questions offer choices (the line reader's),
// answered by keyboard, the first wrongly and the second rightly.
const [page_, modules, choices] = process.argv.slice(2);
const puppeteer = require(`${modules}/puppeteer-core`);
const {pathToFileURL} = require("url");

(async () => {
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium", headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--no-first-run"]});
  const seen = {errors: []};
  try {
    const page = await browser.newPage();
    page.on("pageerror", (error) => seen.errors.push(error.message));
    await page.setViewport({width: 1400, height: 900});
    const text = (selector) => page.$eval(selector, (e) => e.textContent);
    const open = async (hash) => {
      await page.goto(`${pathToFileURL(page_).href}#${hash}`);
      await page.reload();  // a new hash alone does not load the page again
    };

    // The deepest step: is the running frame's title in view?
    await open("step=1");
    const deepest = await page.evaluate(() => trace.steps.reduce((best, s, i) =>
      s.frames.length > trace.steps[best].frames.length ? i : best, 0));
    await open(`step=${deepest + 1}`);
    seen.deepest = {step: deepest + 1, inView: await page.evaluate(() => {
      const title = document.querySelector(".frame.running > .title").getBoundingClientRect();
      const pane = document.getElementById("memory").getBoundingClientRect();
      return title.top >= pane.top && title.bottom <= Math.min(pane.bottom, innerHeight)
        && title.left >= pane.left && title.right <= Math.min(pane.right, innerWidth);
    })};

    // A click on a source line lands on a step that runs it.
    await open("step=1");
    const line = await page.evaluate(() => {
      const file = trace.steps[0].at.replace(/:\d+$/, "");
      const later = trace.steps.slice(5).find((s) => s.at.startsWith(file + ":"));
      return later.at;
    });
    await page.click(`#line${line.split(":").pop()}`);
    seen.clicked = {line, landed: await text("#file"), step: +(await text("#number"))};

    // Predict, then step: the first question answered rightly with "a new
    // block", the second wrongly with the block its field points to now.
    await open("step=1&predict");
    const answers = [];
    for (let tries = 0; answers.length < 2 && tries < 400; tries++) {
      const asking = await page.$("#ask.on #fresh");
      if (!asking) { await page.keyboard.press("ArrowRight"); continue; }
      const question = await text("#ask");
      if (answers.length === 0) {
        await page.click("#fresh");
      } else {
        const now = await page.evaluate(() => {
          const field = document.querySelector(".frame:not(.running) [data-to]");
          return field.dataset.to;
        });
        await page.click(`#${now} .title`);
      }
      answers.push({question, said: await text("#ask"),
                    right: !!(await page.$("#ask .right")), score: await text("#score")});
    }
    seen.answers = answers;

    if (choices) {
      await page.goto(`${pathToFileURL(choices).href}#step=1&predict`);
      await page.reload();
      const picked = [];
      for (let tries = 0; picked.length < 2 && tries < 400; tries++) {
        if (!(await page.$("#ask.on .choice"))) { await page.keyboard.press("ArrowRight"); continue; }
        const question = await text("#ask");
        const wanted = await page.evaluate((right) => asked.choices.findIndex((c) => c.right === right),
                                           picked.length === 1);
        for (let tab = 0; tab < wanted; tab++) await page.keyboard.press("Tab");
        await page.keyboard.press("Enter");
        picked.push({question, said: await text("#ask"), right: !!(await page.$("#ask .right")),
                     score: await text("#score"), tape: await text("#tape")});
      }
      seen.choices = picked;
    }
  } finally {
    await browser.close();
  }
  console.log(JSON.stringify(seen));
})().catch((error) => { console.log(JSON.stringify({failed: String(error)})); });
