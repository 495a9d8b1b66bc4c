// The service's API as the page calls it: same origin, the session cookie, JSON. Every
// answer comes back as {status, ok, body, error}; a failure of the network is an answer
// too, so no caller is left without one.

export class ApiError extends Error {
  constructor(status, code, message, field) {
    super(message);
    this.status = status;
    this.code = code;
    this.field = field || "";
  }
}

async function answerOf(response) {
  const type = response.headers.get("Content-Type") || "";
  if (type.startsWith("application/json")) {
    const body = await response.json().catch(() => null);
    return { response, body };
  }
  return { response, body: null };
}

// Calls the API; resolves with the JSON body of a 2xx answer, else throws ApiError.
export async function call(method, path, body, headers = {}) {
  const options = { method, headers: { ...headers }, credentials: "same-origin", cache: "no-store" };
  if (body instanceof Blob || body instanceof ArrayBuffer) {
    options.body = body;
  } else if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch("/api/v1/" + path, options);
  } catch (e) {
    throw new ApiError(0, "network", "The print service did not answer (" + e.message + "). Check the network, then try again.");
  }
  if (response.status === 204) return null;
  const { body: answer } = await answerOf(response);
  if (response.ok) return answer;
  const error = answer && answer.error ? answer.error : { code: "http", message: "The print service answered " + response.status + "." };
  const failure = new ApiError(response.status, error.code, error.message, error.field);
  failure.job = answer && answer.job ? answer.job : null;
  throw failure;
}

// A PNG answer (previews) as an object URL, with the label's facts from its headers.
export async function picture(method, path, body) {
  const options = { method, credentials: "same-origin", cache: "no-store", headers: {} };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch("/api/v1/" + path, options);
  } catch (e) {
    throw new ApiError(0, "network", "The print service did not answer (" + e.message + ").");
  }
  if (!response.ok) {
    const { body: answer } = await answerOf(response);
    const error = answer && answer.error ? answer.error : { code: "http", message: "The preview failed (" + response.status + ")." };
    throw new ApiError(response.status, error.code, error.message, error.field);
  }
  const blob = await response.blob();
  return {
    url: URL.createObjectURL(blob),
    layout: response.headers.get("X-Label-Layout") || "",
    dots: response.headers.get("X-Label-Dots") || "",
    quantity: response.headers.get("X-Label-Quantity") || "",
  };
}

// A key of its own for each press: a retry of the same press never prints twice.
export function newKey() {
  if (crypto.randomUUID) return crypto.randomUUID();
  const bytes = crypto.getRandomValues(new Uint8Array(16));
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}
