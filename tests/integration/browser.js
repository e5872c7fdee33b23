// browser.js: the example shop in headless Chromium, as a visitor uses it:
// search with markup in the search box, write a review through the entry
// form, count visits. Usage: node browser.js BASE-URL SCREENSHOT-FOLDER
// PROFILE-FOLDER; exit status 1 with a message when a check fails.
'use strict';
const path = require('path');
const puppeteer = require('puppeteer-core');

const [base, shots, profile] = process.argv.slice(2);
const shop = base + '/cgi-bin/shop';

// The page of the step that runs, for the message of a failed check.
let current = null;

async function check(condition, what) {
  if (condition) return;
  let shown = '';
  if (current) {
    await shot(current, 'failed');
    shown = '\n--- the page (screenshot failed.png) ---\n' + (await text(current)).slice(0, 2000);
  }
  throw new Error(what + shown);
}

async function text(page) {
  return page.evaluate(() => document.body.innerText);
}

async function shot(page, name) {
  await page.screenshot({path: path.join(shots, name + '.png'), fullPage: true});
}

// Clicks and waits for the page that the click loads (redirects included).
async function follow(page, selector) {
  await Promise.all([page.waitForNavigation(), page.click(selector)]);
}

async function visitNumber(page) {
  const match = /visit number (\d+)/.exec(await text(page));
  await check(match, 'no visit number on the session page');
  return Number(match[1]);
}

async function main() {
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: false,   // the flags below say it, as this machine needs them
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = await browser.newPage();
    current = page;
    await page.setViewport({width: 900, height: 700});

    await page.goto(shop + '?braxel=list.brx');
    await check((await text(page)).includes('Pineapple'), 'the product list is not shown');
    await shot(page, '1-list');

    // Markup typed into the search box comes back as text, not as markup.
    const typed = '<b id="typed">bold</b><script>window.injected = 1</script>';
    await page.type('input[name="q"]', typed);
    await follow(page, 'input[type="submit"]');
    await check((await text(page)).includes('No product matches "' + typed + '"'), 'the search text is not shown as typed');
    await check(await page.evaluate(() => !document.getElementById('typed') && window.injected === undefined),
          'the search text became markup');
    await shot(page, '2-search');

    // A review through the entry form: saved, redirected, listed.
    await page.goto(shop + '?braxel=list.brx');
    await follow(page, 'a[href*="id=6"]');
    await follow(page, 'a[href*="entry.brx"]');
    const review = 'Ripe & sweet <i>pears</i>, checked in Chromium';
    await page.type('input[name="author"]', "Eve O'Hara");
    await page.select('select[name="rating"]', '4');
    await page.type('textarea[name="body"]', review);
    await shot(page, '3-entry');
    await follow(page, 'input[type="submit"]');
    await check(page.url().includes('detail.brx'), 'saving the review did not lead to the product page: ' + page.url());
    const detail = await text(page);
    await check(detail.includes(review) && detail.includes("Eve O'Hara"), 'the new review is not listed');
    await shot(page, '4-review-listed');

    // The visit counter grows from one request to the next.
    await page.goto(shop + '?braxel=visits.brx');
    const first = await visitNumber(page);
    await page.reload();
    const second = await visitNumber(page);
    await check(second === first + 1, `the visit counter went ${first}, ${second}`);
    await shot(page, '5-visits');
  } finally {
    await browser.close();
  }
}

main().then(() => console.log('browser checks passed'), (error) => {
  console.error('FAILED: ' + (error && error.stack ? error.stack : error));
  process.exit(1);
});
