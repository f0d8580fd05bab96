// The board's page: every control acts through the board's own commands
// (POST /command), keys go to the console (POST /console), the ZigBee peer's
// bytes to POST /peer; the board's state and both serial lines arrive as
// server-sent events on /events.
'use strict';

const $ = (id) => document.getElementById(id);

function bytesOf(text) {
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i) & 0xff;
  return bytes;
}

async function post(path, body) {
  const response = await fetch(path, { method: 'POST', body: body === undefined ? '' : body });
  const text = (await response.text()).trim();
  const answer = $('answer');
  answer.textContent = (path === '/command' ? body + ': ' : '') + text;
  answer.className = response.ok ? '' : 'refused';
  return response.ok;
}

const command = (line) => post('/command', line);

// The console: xterm.js when it was built in, otherwise a plain log and a note.
let consoleWrite;
function setUpConsole(built) {
  if (built && typeof Terminal !== 'undefined') {
    const term = new Terminal({ convertEol: false, rows: 24, cols: 80, scrollback: 5000 });
    term.open($('console'));
    term.onData((data) => post('/console', bytesOf(data)));
    window.tl500Terminal = term;
    consoleWrite = (text) => term.write(text);
    return;
  }
  const note = document.createElement('p');
  note.className = 'missing';
  note.id = 'terminal-missing';
  note.textContent = 'The terminal could not be built into this tl500-sim (npm was not available when it was built); ' +
    'the console is shown as plain text.';
  const log = document.createElement('pre');
  $('console').append(note, log);
  consoleWrite = (text) => { log.textContent += text.replace(/\r/g, ''); };
}

function showZigbee(text) {
  let shown = '';
  for (const c of text) {
    const code = c.charCodeAt(0);
    shown += code >= 0x20 && code < 0x7f ? c : '\\x' + code.toString(16).padStart(2, '0');
  }
  $('zigbee').textContent += shown;
}

function buildSensors(sensors) {
  for (const sensor of sensors) {
    if (sensor.onoff) continue;  // the PIR button drives the motion
    const row = document.createElement('div');
    row.className = 'sensor';
    const label = document.createElement('label');
    label.textContent = sensor.name + ' (' + sensor.unit + ')';
    label.title = sensor.description + ', ' + sensor.min + '..' + sensor.max + ' ' + sensor.unit;
    const fields = document.createElement('span');
    const numbers = [];
    sensor.defaults.forEach((value) => {
      const range = document.createElement('input');
      range.type = 'range';
      const number = document.createElement('input');
      number.type = 'number';
      for (const input of [range, number]) {
        input.min = sensor.min; input.max = sensor.max; input.step = 'any'; input.value = value;
      }
      number.dataset.sensor = sensor.name;
      const send = () => command('set ' + sensor.name + ' ' + numbers.map((n) => n.value).join(' '));
      range.addEventListener('input', () => { number.value = range.value; });
      range.addEventListener('change', send);
      number.addEventListener('change', () => { range.value = number.value; send(); });
      numbers.push(number);
      fields.append(range, number);
    });
    row.append(label, fields);
    $('sensors').append(row);
  }
}

function buildFaults(chips, faults) {
  for (const chip of chips) {
    const label = document.createElement('label');
    label.textContent = chip.name + ' ' + chip.address + ' ';
    const menu = document.createElement('select');
    menu.dataset.address = chip.address;
    for (const kind of ['none', ...faults]) {
      const option = document.createElement('option');
      option.value = kind; option.textContent = kind;
      menu.append(option);
    }
    // `fault clear` ends every chip's fault: the other menus follow.
    menu.addEventListener('change', () => {
      if (menu.value === 'none') {
        command('fault clear');
        for (const other of document.querySelectorAll('#faults select')) other.value = 'none';
      } else {
        command('fault i2c ' + chip.address + ' ' + menu.value);
      }
    });
    label.append(menu);
    $('faults').append(label);
  }
}

function setUpControls() {
  for (const button of document.querySelectorAll('.switch')) {
    button.addEventListener('click', () => {
      const pin = button.dataset.pin;
      if (button.dataset.kind === 'dip') {
        // A closed DIP switch joins the line to ground; open, the pull-up holds it.
        const close = button.dataset.closed !== 'true';
        command('set pin ' + pin + (close ? ' low' : ' float')).then((ok) => {
          if (ok) button.dataset.closed = close ? 'true' : 'false';
        });
      } else {
        command('set pin ' + pin + (button.dataset.level === 'high' ? ' low' : ' high'));
      }
    });
  }
  const pir = $('pir');
  let pressed = false;
  const release = () => { if (pressed) { pressed = false; command('set pir.motion off'); } };
  pir.addEventListener('pointerdown', () => { pressed = true; command('set pir.motion on'); });
  pir.addEventListener('pointerup', release);
  pir.addEventListener('pointerleave', release);
  $('speed').addEventListener('change', () => command('speed ' + $('speed').value));
  $('pause').addEventListener('click', () => post('/pause'));
  $('continue').addEventListener('click', () => post('/continue'));
  $('peer').addEventListener('submit', (event) => {
    event.preventDefault();
    const text = $('peer-bytes').value;
    if (text) post('/peer', bytesOf(text));
  });
}

function showState(state) {
  $('time').textContent = state.time.toFixed(3) + ' s';
  $('ratio').textContent = 'x' + state.ratio.toFixed(1);
  $('panel').textContent = state.panel;
  state.leds.forEach((lit, i) => { $('led' + (i + 1)).dataset.lit = lit ? 'true' : 'false'; });
  state.outputs.forEach((word, i) => { $('act' + (i + 1)).dataset.state = word; });
  for (const button of document.querySelectorAll('.switch')) button.dataset.level = state.pins[button.dataset.pin];
  $('pir').dataset.level = state.pins.PIR;
  $('zbreset').dataset.state = state.pins.ZB_RESET === 'low' ? 'off' : 'on';
  $('zbreset').textContent = state.pins.ZB_RESET === 'low' ? 'ZB_RESET: module held in reset' : 'ZB_RESET: module running';
  $('pause').disabled = state.paused;
  $('continue').disabled = !state.paused;
  const speed = state.speed === 'paused' ? null : state.speed.replace(/^x/, '');
  if (speed !== null && document.activeElement !== $('speed')) $('speed').value = speed;
  document.body.dataset.paused = state.paused ? 'true' : 'false';
}

async function start() {
  const board = await (await fetch('/board')).json();
  setUpConsole(board.terminal);
  buildSensors(board.sensors);
  buildFaults(board.chips, board.faults);
  setUpControls();
  const events = new EventSource('/events');
  events.addEventListener('open', () => { $('link').textContent = 'connected'; });
  events.addEventListener('error', () => { $('link').textContent = 'the run has ended or the link is down'; });
  events.addEventListener('end', () => { $('link').textContent = 'the run has ended'; events.close(); });
  events.addEventListener('state', (event) => showState(JSON.parse(event.data)));
  events.addEventListener('console', (event) => consoleWrite(JSON.parse(event.data)));
  events.addEventListener('zigbee', (event) => showZigbee(JSON.parse(event.data)));
}

start();
