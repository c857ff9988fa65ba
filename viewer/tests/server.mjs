// velmora view started for a test: its printed URL, and its end.
import { spawn } from 'node:child_process';

export async function startView(velmora, args, { cwd } = {}) {
  const child = spawn(velmora, ['view', '--no-browser', ...args], { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  child.stderr.on('data', (d) => { err += d; });
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`velmora view printed no URL in 60 s: ${err}`)), 60000);
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/velmora view: (http:\/\/127\.0\.0\.1:\d+\/[a-z.]*\?token=[0-9a-f]+)/);
      if (m) { clearTimeout(timer); resolve(m[1]); }
    });
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`velmora view ended (${code}): ${err}`)); });
  });
  const u = new URL(url);
  return {
    url, port: Number(u.port), token: u.searchParams.get('token'), child, stderr: () => err,
    stop: () => new Promise((resolve) => { child.once('exit', resolve); child.kill('SIGTERM'); }),
  };
}
