// The two ways a command ends early: a refusal (exit code 1, the release
// would not be one every launcher takes) and a usage error (exit code 2).
export class Refusal extends Error {}
export const refuse = (message) => {
  throw new Refusal(message);
};
// A command line that names no valid request.
export class UsageError extends Error {}
export const usageError = (message) => {
  throw new UsageError(message);
};
