// The login form: POST /api/login as JSON; the session cookie comes back
// HttpOnly, so this page never sees it.
'use strict';
document.getElementById('login').addEventListener('submit', async (event) => {
  event.preventDefault();
  const message = document.getElementById('message');
  message.textContent = '';
  try {
    const response = await fetch('/api/login', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({
        user: document.getElementById('user').value,
        password: document.getElementById('password').value,
      }),
    });
    if (response.ok) {
      location.href = '/';
      return;
    }
    const body = await response.json().catch(() => ({}));
    message.textContent = body.error || ('login failed: HTTP ' + response.status);
  } catch (e) {
    message.textContent = 'the recorder does not answer: ' + e;
  }
});
